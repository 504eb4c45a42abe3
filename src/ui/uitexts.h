// The desktop app's own texts. They are Chinese and used exactly as they
// stand (several end in blanks that belong to them); tx() gives them in the
// language chosen at start (translations/korvane_en.ts for English).
#pragma once

#include <QCoreApplication>
#include <QString>

namespace korvane::ui {

// text (one of those below, all in the context "korvane") in the language of
// the app.
inline QString tx(const char* text) {
    return QCoreApplication::translate("korvane", text);
}

inline constexpr const char* kAppTitle = QT_TRANSLATE_NOOP("korvane", "Korvane 浏览器");
inline constexpr const char* kWindowCaption =
    QT_TRANSLATE_NOOP("korvane", "Korvane 浏览器 Ver 2.0");
inline constexpr const char* kCaptionNotice = QT_TRANSLATE_NOOP("korvane", "提示");
inline constexpr const char* kTextDiscard = QT_TRANSLATE_NOOP("korvane", "放弃修改！");
inline constexpr const char* kTextConfirmDelete = QT_TRANSLATE_NOOP("korvane", "确定要删除！");
// %1 the number of objects, %2 the first names.
inline constexpr const char* kTextDeleteWhat = QT_TRANSLATE_NOOP("korvane", "将删除 %1 项：%2");
inline constexpr const char* kTextAndMore = QT_TRANSLATE_NOOP("korvane", "%1 等");
inline constexpr const char* kTextReadDone = QT_TRANSLATE_NOOP("korvane", "读取完成！");
inline constexpr const char* kTextReadWarnings =
    QT_TRANSLATE_NOOP("korvane", "读取完成！（%1 条警告）");
inline constexpr const char* kTextUnknownError = QT_TRANSLATE_NOOP("korvane", "未知错误");

// Top toolbars and the list's toolbar.
inline constexpr const char* kActionNew = QT_TRANSLATE_NOOP("korvane", " 新 建 ");
inline constexpr const char* kActionOpen = QT_TRANSLATE_NOOP("korvane", " 打 开 ");
inline constexpr const char* kActionOpenAs = QT_TRANSLATE_NOOP("korvane", "打开方式");
inline constexpr const char* kActionExtractSelected = QT_TRANSLATE_NOOP("korvane", "提取选中");
inline constexpr const char* kActionExportAll = QT_TRANSLATE_NOOP("korvane", "全部导出");
inline constexpr const char* kActionSaveAs = QT_TRANSLATE_NOOP("korvane", "另存");
inline constexpr const char* kActionUp = QT_TRANSLATE_NOOP("korvane", "向上");
inline constexpr const char* kActionView = QT_TRANSLATE_NOOP("korvane", "查看");
inline constexpr const char* kPathLabel = QT_TRANSLATE_NOOP("korvane", "路径：");
inline constexpr const char* kNoSuchPath = QT_TRANSLATE_NOOP("korvane", "镜像中没有这个路径：%1");

// The list's popup menu.
inline constexpr const char* kMenuOpen = QT_TRANSLATE_NOOP("korvane", "打开");
inline constexpr const char* kMenuOpenAs = QT_TRANSLATE_NOOP("korvane", "打开方式");
// "打开方式": choosing the format an image is read as.
inline constexpr const char* kOpenAsCaption = QT_TRANSLATE_NOOP("korvane", "打开方式");
inline constexpr const char* kOpenAsPrompt = QT_TRANSLATE_NOOP("korvane", "按此格式读取：");
// Between the names of an image and the images opened inside it.
inline constexpr const char* kChainSeparator = QT_TRANSLATE_NOOP("korvane", " › ");
inline constexpr const char* kMenuView = QT_TRANSLATE_NOOP("korvane", "查看");
inline constexpr const char* kMenuThumbnails = QT_TRANSLATE_NOOP("korvane", "缩略图");
inline constexpr const char* kMenuIcons = QT_TRANSLATE_NOOP("korvane", "图标");
inline constexpr const char* kMenuDetails = QT_TRANSLATE_NOOP("korvane", "详细列表");
inline constexpr const char* kMenuExtractSelected = QT_TRANSLATE_NOOP("korvane", "提取选择");
inline constexpr const char* kMenuExportAll = QT_TRANSLATE_NOOP("korvane", "全部导出");
inline constexpr const char* kMenuExportTar = QT_TRANSLATE_NOOP("korvane", "导出为 tar 归档");
inline constexpr const char* kMenuNewDir = QT_TRANSLATE_NOOP("korvane", "新建目录");
inline constexpr const char* kMenuAddFiles = QT_TRANSLATE_NOOP("korvane", "添加文件");
inline constexpr const char* kMenuDelete = QT_TRANSLATE_NOOP("korvane", "删除");
inline constexpr const char* kMenuRefresh = QT_TRANSLATE_NOOP("korvane", "刷新");
inline constexpr const char* kMenuRename = QT_TRANSLATE_NOOP("korvane", "重命名");
inline constexpr const char* kMenuPermissions = QT_TRANSLATE_NOOP("korvane", "权限修改");
inline constexpr const char* kMenuUid = QT_TRANSLATE_NOOP("korvane", "UID修改");
inline constexpr const char* kMenuGid = QT_TRANSLATE_NOOP("korvane", "GID修改");
inline constexpr const char* kMenuProperties = QT_TRANSLATE_NOOP("korvane", "属性");

// The list's columns.
inline constexpr const char* kColumnName = QT_TRANSLATE_NOOP("korvane", "名称");
inline constexpr const char* kColumnPermissions = QT_TRANSLATE_NOOP("korvane", "权限");
inline constexpr const char* kColumnType = QT_TRANSLATE_NOOP("korvane", "类型");
inline constexpr const char* kColumnSize = QT_TRANSLATE_NOOP("korvane", "大小");
inline constexpr const char* kColumnLabel = QT_TRANSLATE_NOOP("korvane", "安全标签");

// Status bars.
inline constexpr const char* kPanelImageName = QT_TRANSLATE_NOOP("korvane", "IMG名称");
inline constexpr const char* kPanelImageSize = QT_TRANSLATE_NOOP("korvane", "IMG大小");
inline constexpr const char* kImageFileLabel = QT_TRANSLATE_NOOP("korvane", "镜像文件:");
inline constexpr const char* kImageFormatLabel = QT_TRANSLATE_NOOP("korvane", ",镜像格式:");
inline constexpr const char* kImageNew = QT_TRANSLATE_NOOP("korvane", "镜像文件: 新建");
inline constexpr const char* kNewName = QT_TRANSLATE_NOOP("korvane", "新建");
inline constexpr const char* kUnknownSize = QT_TRANSLATE_NOOP("korvane", "未知");
inline constexpr const char* kSummaryType = QT_TRANSLATE_NOOP("korvane", "类型：");
inline constexpr const char* kSummarySize = QT_TRANSLATE_NOOP("korvane", ", 大小：");
inline constexpr const char* kSummaryDetail = QT_TRANSLATE_NOOP("korvane", ", 详细：");

// Dialog captions and prompts.
inline constexpr const char* kOpenDialogTitle =
    QT_TRANSLATE_NOOP("korvane", "请选择 YAFFS2 IMG（文件系统镜像）");
inline constexpr const char* kExtractDialogTitle = QT_TRANSLATE_NOOP("korvane", "文件提取");
inline constexpr const char* kSaveDialogTitle = QT_TRANSLATE_NOOP("korvane", "文件系统镜像 另存");
inline constexpr const char* kTarDialogTitle = QT_TRANSLATE_NOOP("korvane", "导出为 tar 归档");
inline constexpr const char* kTarFilter = QT_TRANSLATE_NOOP("korvane", "tar 归档 (*.tar)");
inline constexpr const char* kNewDirCaption = QT_TRANSLATE_NOOP("korvane", "新建目录");
inline constexpr const char* kNewDirPrompt = QT_TRANSLATE_NOOP("korvane", "输入名称        ");
inline constexpr const char* kRenameCaption = QT_TRANSLATE_NOOP("korvane", "重命名");
inline constexpr const char* kRenamePrompt = QT_TRANSLATE_NOOP("korvane", "输入名称         ");
inline constexpr const char* kPermissionsCaption = QT_TRANSLATE_NOOP("korvane", "权限修改");
inline constexpr const char* kPermissionsPrompt =
    QT_TRANSLATE_NOOP("korvane", "输入权限代码 如 755 , 4755 等");
inline constexpr const char* kUidCaption = QT_TRANSLATE_NOOP("korvane", "UID修改");
inline constexpr const char* kUidPrompt = QT_TRANSLATE_NOOP("korvane", "输入UID");
inline constexpr const char* kGidCaption = QT_TRANSLATE_NOOP("korvane", "GID修改");
inline constexpr const char* kGidPrompt = QT_TRANSLATE_NOOP("korvane", "输入GID");
inline constexpr const char* kAddErrorsCaption = QT_TRANSLATE_NOOP("korvane", "添加文件 错误信息");
inline constexpr const char* kExtractErrorsCaption =
    QT_TRANSLATE_NOOP("korvane", "文件提取 错误信息");
inline constexpr const char* kWarningsCaption = QT_TRANSLATE_NOOP("korvane", "镜像读取 警告信息");
inline constexpr const char* kWarningsSummary =
    QT_TRANSLATE_NOOP("korvane", "读取镜像时有 %1 条警告，读不出的对象没有列出：");
inline constexpr const char* kButtonOk = QT_TRANSLATE_NOOP("korvane", "确定");
inline constexpr const char* kButtonCancel = QT_TRANSLATE_NOOP("korvane", "取消");
inline constexpr const char* kButtonClose = QT_TRANSLATE_NOOP("korvane", "关闭");

// What is wrong with an input ("输入有误！" and why).
inline constexpr const char* kTextExists = QT_TRANSLATE_NOOP("korvane", "目录或文件已存在!      ");
inline constexpr const char* kTextInvalid = QT_TRANSLATE_NOOP("korvane", "输入有误！     ");
// %1: why.
inline constexpr const char* kTextInvalidBecause = QT_TRANSLATE_NOOP("korvane", "输入有误！%1");
inline constexpr const char* kBadNameSlash = QT_TRANSLATE_NOOP("korvane", "名称中不能有“/”。");
inline constexpr const char* kBadNameDots = QT_TRANSLATE_NOOP("korvane", "名称不能是“.”或“..”。");
inline constexpr const char* kBadNameNul = QT_TRANSLATE_NOOP("korvane", "名称中不能有空字符。");
inline constexpr const char* kBadNameLong =
    QT_TRANSLATE_NOOP("korvane", "名称最长 255 字节，这个名称有 %1 字节。");
inline constexpr const char* kBadMode =
    QT_TRANSLATE_NOOP("korvane", "权限代码是 1 到 4 位 0 到 7 的数字，如 755、4755，且不能是 0。");
inline constexpr const char* kBadId =
    QT_TRANSLATE_NOOP("korvane", "%1 是 0 到 4294967294 之间的整数。");

// The clash questions and their answers.
inline constexpr const char* kClashAdd = QT_TRANSLATE_NOOP("korvane", "有重名！是否覆盖？！！");
inline constexpr const char* kClashExtract = QT_TRANSLATE_NOOP("korvane", "文件已存在！是否覆盖？");
inline constexpr const char* kClashOverwrite = QT_TRANSLATE_NOOP("korvane", "覆盖");
inline constexpr const char* kClashOverwriteAll = QT_TRANSLATE_NOOP("korvane", "全覆盖");
inline constexpr const char* kClashSkip = QT_TRANSLATE_NOOP("korvane", "否");
inline constexpr const char* kClashSkipAll = QT_TRANSLATE_NOOP("korvane", "全否");

// The ends of extraction and saving.
inline constexpr const char* kExtractDone = QT_TRANSLATE_NOOP("korvane", "提取完成：写出 %1 项。");
inline constexpr const char* kExtractCancelled =
    QT_TRANSLATE_NOOP("korvane", "提取已取消，提前停止：只写出了 %1 项。");
inline constexpr const char* kExtractReplaced =
    QT_TRANSLATE_NOOP("korvane", "覆盖了 %1 个已有的文件。");
inline constexpr const char* kExtractKept =
    QT_TRANSLATE_NOOP("korvane", "保留了 %1 个已有的文件，没有写出。");
inline constexpr const char* kExtractFailed =
    QT_TRANSLATE_NOOP("korvane", "%1 项没能写出，见列表。");
inline constexpr const char* kSaved = QT_TRANSLATE_NOOP("korvane", "已保存为 %1");
inline constexpr const char* kSaveCancelled =
    QT_TRANSLATE_NOOP("korvane", "保存已取消，没有写出文件。");
// The labels of the registry's save types, which the save dialog shows
// translated: every label a format row gives is listed here for lupdate.
inline constexpr const char* kSaveTypeLabels[] = {
    QT_TRANSLATE_NOOP("korvane", "YAFFS2 镜像"),
    QT_TRANSLATE_NOOP("korvane", "YAFFS2 镜像(自定参数)"),
    QT_TRANSLATE_NOOP("korvane", "EXT2 镜像"),
    QT_TRANSLATE_NOOP("korvane", "EXT3 镜像"),
    QT_TRANSLATE_NOOP("korvane", "EXT4 镜像"),
    QT_TRANSLATE_NOOP("korvane", "EROFS 镜像"),
    QT_TRANSLATE_NOOP("korvane", "Android super 镜像"),
    QT_TRANSLATE_NOOP("korvane", "Android 启动镜像"),
    QT_TRANSLATE_NOOP("korvane", "cpio 归档(ramdisk)"),
    QT_TRANSLATE_NOOP("korvane", "JFFS2 镜像"),
    QT_TRANSLATE_NOOP("korvane", "YAFFS1 镜像"),
    QT_TRANSLATE_NOOP("korvane", "SquashFS 镜像"),
};

// "选择文件", the chooser of files to add.
inline constexpr const char* kChooseFilesTitle = QT_TRANSLATE_NOOP("korvane", "选择文件");
inline constexpr const char* kLookIn = QT_TRANSLATE_NOOP("korvane", "查找范围");
inline constexpr const char* kPlaceDesktop = QT_TRANSLATE_NOOP("korvane", "桌面");
inline constexpr const char* kPlaceHome = QT_TRANSLATE_NOOP("korvane", "主目录");
inline constexpr const char* kPlaceDocuments = QT_TRANSLATE_NOOP("korvane", "我的文档");
inline constexpr const char* kPlaceComputer = QT_TRANSLATE_NOOP("korvane", "我的电脑");
inline constexpr const char* kSelectedCount = QT_TRANSLATE_NOOP("korvane", "已选取 %1 项");
inline constexpr const char* kKeepAttributes = QT_TRANSLATE_NOOP("korvane", "保留文件属性");
inline constexpr const char* kKeepAttributesTip =
    QT_TRANSLATE_NOOP("korvane", "保留每个文件的权限、所有者和时间；不选时权限为 0777，时间为现在");
inline constexpr const char* kNoSuchFolder = QT_TRANSLATE_NOOP("korvane", "没有这个文件夹：%1");
inline constexpr const char* kWithChildren = QT_TRANSLATE_NOOP("korvane", "包含子项");

// The properties dialog.
inline constexpr const char* kPageGeneral = QT_TRANSLATE_NOOP("korvane", "常规");
inline constexpr const char* kLabelType = QT_TRANSLATE_NOOP("korvane", "类型：");
inline constexpr const char* kLabelSize = QT_TRANSLATE_NOOP("korvane", "大小：");
inline constexpr const char* kLabelTime = QT_TRANSLATE_NOOP("korvane", "创建时间：");
inline constexpr const char* kLabelContains = QT_TRANSLATE_NOOP("korvane", "包含：");
inline constexpr const char* kContains = QT_TRANSLATE_NOOP("korvane", "%1 项（下面共 %2 项）");
inline constexpr const char* kLabelUid = QT_TRANSLATE_NOOP("korvane", "UID：");
inline constexpr const char* kLabelGid = QT_TRANSLATE_NOOP("korvane", "GID：");
inline constexpr const char* kLabelDetail = QT_TRANSLATE_NOOP("korvane", "详细：");
inline constexpr const char* kPageAttributes = QT_TRANSLATE_NOOP("korvane", "扩展属性");
inline constexpr const char* kAttributeName = QT_TRANSLATE_NOOP("korvane", "名称");
inline constexpr const char* kAttributeValue = QT_TRANSLATE_NOOP("korvane", "值");
inline constexpr const char* kNoAttributes = QT_TRANSLATE_NOOP("korvane", "这个对象没有扩展属性。");
inline constexpr const char* kSelinuxLabel = QT_TRANSLATE_NOOP("korvane", "SELinux 标签");
inline constexpr const char* kCapabilities = QT_TRANSLATE_NOOP("korvane", "文件能力");

} // namespace korvane::ui
