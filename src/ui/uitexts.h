// The desktop app's own texts, used exactly as they stand (several end in
// blanks that belong to them).
#pragma once

namespace korvane::ui {

inline constexpr const char* kAppTitle = "Korvane 浏览器";
inline constexpr const char* kWindowCaption = "Korvane 浏览器 Ver 2.0";
inline constexpr const char* kCaptionNotice = "提示";
inline constexpr const char* kTextDiscard = "放弃修改！";
inline constexpr const char* kTextConfirmDelete = "确定要删除！";
inline constexpr const char* kTextReadDone = "读取完成！";

// Top toolbars and the list's toolbar.
inline constexpr const char* kActionNew = " 新 建 ";
inline constexpr const char* kActionOpen = " 打 开 ";
inline constexpr const char* kActionExtractSelected = "提取选中";
inline constexpr const char* kActionExportAll = "全部导出";
inline constexpr const char* kActionSaveAs = "另存";
inline constexpr const char* kActionUp = "向上";
inline constexpr const char* kActionView = "查看";
inline constexpr const char* kPathLabel = "路径：";

// The list's popup menu.
inline constexpr const char* kMenuOpen = "打开";
inline constexpr const char* kMenuView = "查看";
inline constexpr const char* kMenuThumbnails = "缩略图";
inline constexpr const char* kMenuIcons = "图标";
inline constexpr const char* kMenuDetails = "详细列表";
inline constexpr const char* kMenuExtractSelected = "提取选择";
inline constexpr const char* kMenuExportAll = "全部导出";
inline constexpr const char* kMenuExportTar = "导出为 tar 归档";
inline constexpr const char* kMenuNewDir = "新建目录";
inline constexpr const char* kMenuAddFiles = "添加文件";
inline constexpr const char* kMenuDelete = "删除";
inline constexpr const char* kMenuRefresh = "刷新";
inline constexpr const char* kMenuRename = "重命名";
inline constexpr const char* kMenuPermissions = "权限修改";
inline constexpr const char* kMenuUid = "UID修改";
inline constexpr const char* kMenuGid = "GID修改";
inline constexpr const char* kMenuProperties = "属性";

// Status bars.
inline constexpr const char* kPanelImageName = "IMG名称";
inline constexpr const char* kPanelImageSize = "IMG大小";
inline constexpr const char* kImageFileLabel = "镜像文件:";
inline constexpr const char* kImageFormatLabel = ",镜像格式:";
inline constexpr const char* kImageNew = "镜像文件: 新建";
inline constexpr const char* kNewName = "新建";
inline constexpr const char* kUnknownSize = "未知";

// Dialog captions and prompts.
inline constexpr const char* kOpenDialogTitle = "请选择 YAFFS2 IMG（文件系统镜像）";
inline constexpr const char* kExtractDialogTitle = "文件提取";
inline constexpr const char* kSaveDialogTitle = "文件系统镜像 另存";
inline constexpr const char* kTarDialogTitle = "导出为 tar 归档";
inline constexpr const char* kTarFilter = "tar 归档 (*.tar)";
inline constexpr const char* kNewDirCaption = "新建目录";
inline constexpr const char* kNewDirPrompt = "输入名称        ";
inline constexpr const char* kRenameCaption = "重命名";
inline constexpr const char* kRenamePrompt = "输入名称         ";
inline constexpr const char* kPermissionsCaption = "权限修改";
inline constexpr const char* kPermissionsPrompt = "输入权限代码 如 755 , 4755 等";
inline constexpr const char* kUidCaption = "UID修改";
inline constexpr const char* kUidPrompt = "输入UID";
inline constexpr const char* kGidCaption = "GID修改";
inline constexpr const char* kGidPrompt = "输入GID";
inline constexpr const char* kAddErrorsCaption = "添加文件 错误信息";
inline constexpr const char* kExtractErrorsCaption = "文件提取 错误信息";
inline constexpr const char* kButtonOk = "确定";
inline constexpr const char* kButtonCancel = "取消";
inline constexpr const char* kButtonClose = "关闭";

} // namespace korvane::ui
