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

// A text with a count: %n is n, and the English translation has its singular
// and plural forms ("1 warning", "2 warnings").
inline QString txn(const char* text, qsizetype n) {
    return QCoreApplication::translate("korvane", text, nullptr, static_cast<int>(n));
}

inline constexpr const char* kAppTitle = QT_TRANSLATE_NOOP("korvane", "Korvane 浏览器");
inline constexpr const char* kWindowCaption =
    QT_TRANSLATE_NOOP("korvane", "Korvane 浏览器 Ver 2.0");
inline constexpr const char* kCaptionNotice = QT_TRANSLATE_NOOP("korvane", "提示");
inline constexpr const char* kTextDiscard = QT_TRANSLATE_NOOP("korvane", "放弃修改！");
inline constexpr const char* kTextConfirmDelete = QT_TRANSLATE_NOOP("korvane", "确定要删除！");
// %1 the number of objects, %2 the first names.
inline constexpr const char* kTextDeleteWhat = QT_TRANSLATE_N_NOOP("korvane", "将删除 %n 项：%1");
inline constexpr const char* kTextAndMore = QT_TRANSLATE_NOOP("korvane", "%1 等");
inline constexpr const char* kTextReadDone = QT_TRANSLATE_NOOP("korvane", "读取完成！");
inline constexpr const char* kTextReadWarnings =
    QT_TRANSLATE_N_NOOP("korvane", "读取完成！（%n 条警告）");
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
inline constexpr const char* kActionUndo = QT_TRANSLATE_NOOP("korvane", "撤销");
inline constexpr const char* kActionRedo = QT_TRANSLATE_NOOP("korvane", "重做");
inline constexpr const char* kActionImageInfo = QT_TRANSLATE_NOOP("korvane", "镜像信息");
inline constexpr const char* kActionCompare = QT_TRANSLATE_NOOP("korvane", "与…比较");
inline constexpr const char* kNoRecentImages =
    QT_TRANSLATE_NOOP("korvane", "（没有最近打开的镜像）");
inline constexpr const char* kPathLabel = QT_TRANSLATE_NOOP("korvane", "路径：");
inline constexpr const char* kNoSuchPath = QT_TRANSLATE_NOOP("korvane", "镜像中没有这个路径：%1");

// Finding: the filter box over the list and the search of the whole image.
inline constexpr const char* kFilterPlaceholder = QT_TRANSLATE_NOOP("korvane", "筛选（Ctrl+F）");
inline constexpr const char* kFilterTip = QT_TRANSLATE_NOOP(
    "korvane", "输入名称的一部分，或带 * 和 ? 的模式，只显示这个目录中名称相符的项；"
               "按回车在整个镜像中查找");
inline constexpr const char* kSearchImage = QT_TRANSLATE_NOOP("korvane", "在整个镜像中查找");
inline constexpr const char* kCaseSensitive = QT_TRANSLATE_NOOP("korvane", "区分大小写");
inline constexpr const char* kColumnFolder = QT_TRANSLATE_NOOP("korvane", "位置");
// The path box while hits are shown: %1 the pattern, %n the hits.
inline constexpr const char* kSearchHits =
    QT_TRANSLATE_N_NOOP("korvane", "在整个镜像中查找“%1”：%n 项");
// The status bar's summary of several selected objects: %n of them, %1 the
// size of the files among them and below them.
inline constexpr const char* kSelectionSummary =
    QT_TRANSLATE_N_NOOP("korvane", "已选中 %n 项，其中文件共 %1");
inline constexpr const char* kNoLinkTarget =
    QT_TRANSLATE_NOOP("korvane", "链接的目标不在镜像中：%1");
inline constexpr const char* kSearchNothing =
    QT_TRANSLATE_NOOP("korvane", "镜像中没有名称与“%1”相符的对象。");

// The list's popup menu.
inline constexpr const char* kMenuOpen = QT_TRANSLATE_NOOP("korvane", "打开");
inline constexpr const char* kMenuOpenAs = QT_TRANSLATE_NOOP("korvane", "打开方式");
inline constexpr const char* kMenuOpenWithApp = QT_TRANSLATE_NOOP("korvane", "其它应用程序…");
inline constexpr const char* kMenuGoToTarget = QT_TRANSLATE_NOOP("korvane", "转到链接目标");
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
inline constexpr const char* kColumnTime = QT_TRANSLATE_NOOP("korvane", "修改时间");
// A size in bytes, whole ("1,536 字节"); the count picks the English form.
inline constexpr const char* kExactBytes = QT_TRANSLATE_N_NOOP("korvane", "%1 字节");

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
    QT_TRANSLATE_N_NOOP("korvane", "读取镜像时有 %n 条警告，读不出的对象没有列出：");
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
    QT_TRANSLATE_NOOP("korvane", "权限代码是 1 到 4 位 0 到 7 的数字，如 755、4755、0000。");
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
inline constexpr const char* kExtractDone =
    QT_TRANSLATE_N_NOOP("korvane", "提取完成：写出 %n 项。");
inline constexpr const char* kExtractCancelled =
    QT_TRANSLATE_N_NOOP("korvane", "提取已取消，提前停止：只写出了 %n 项。");
inline constexpr const char* kExtractReplaced =
    QT_TRANSLATE_N_NOOP("korvane", "覆盖了 %n 个已有的文件。");
inline constexpr const char* kExtractKept =
    QT_TRANSLATE_N_NOOP("korvane", "保留了 %n 个已有的文件，没有写出。");
inline constexpr const char* kExtractFailed =
    QT_TRANSLATE_N_NOOP("korvane", "%n 项没能写出，见列表。");
// %n the members written, %1 the archive.
inline constexpr const char* kTarDone =
    QT_TRANSLATE_N_NOOP("korvane", "tar 归档已写出：%1，包含 %n 项。");
inline constexpr const char* kTarCancelled =
    QT_TRANSLATE_NOOP("korvane", "导出已取消，提前停止：没有写出归档。");
inline constexpr const char* kTarSkipped =
    QT_TRANSLATE_N_NOOP("korvane", "%n 项 tar 归档存不下，没有写入，见列表。");
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

// "保存设置", the settings of the save types.
inline constexpr const char* kSaveSettingsTitle = QT_TRANSLATE_NOOP("korvane", "保存设置");
inline constexpr const char* kSaveAsEcc = QT_TRANSLATE_NOOP("korvane", "保存为：");
inline constexpr const char* kEccYaffs = QT_TRANSLATE_NOOP("korvane", "yaffs2自带ECC");
inline constexpr const char* kEccNand = QT_TRANSLATE_NOOP("korvane", "NAND FLASH ECC");
inline constexpr const char* kEccNone = QT_TRANSLATE_NOOP("korvane", "不写数据 ECC");
inline constexpr const char* kEraseMarker =
    QT_TRANSLATE_NOOP("korvane", "设置 OOB头（FF FF）擦除标志");
inline constexpr const char* kMarkerNo = QT_TRANSLATE_NOOP("korvane", "没有");
inline constexpr const char* kMarkerYes = QT_TRANSLATE_NOOP("korvane", "有");
inline constexpr const char* kNandLayout = QT_TRANSLATE_NOOP("korvane", "NAND 布局");
inline constexpr const char* kPresetCustom = QT_TRANSLATE_NOOP("korvane", "（自定）");
inline constexpr const char* kPresets = QT_TRANSLATE_NOOP("korvane", "常用布局：");
inline constexpr const char* kPageSize = QT_TRANSLATE_NOOP("korvane", "页大小：");
inline constexpr const char* kSpareSize = QT_TRANSLATE_NOOP("korvane", "备用区（OOB）大小：");
inline constexpr const char* kBytesSuffix = QT_TRANSLATE_NOOP("korvane", " 字节");
inline constexpr const char* kInbandTags = QT_TRANSLATE_NOOP("korvane", "标签在页内（inband）");
inline constexpr const char* kTagOffset = QT_TRANSLATE_NOOP("korvane", "标签在备用区的偏移：");
inline constexpr const char* kTagEcc = QT_TRANSLATE_NOOP("korvane", "标签带 ECC");
inline constexpr const char* kByteOrder = QT_TRANSLATE_NOOP("korvane", "字节序：");
inline constexpr const char* kLittleEndian = QT_TRANSLATE_NOOP("korvane", "小端（little-endian）");
inline constexpr const char* kBigEndian = QT_TRANSLATE_NOOP("korvane", "大端（big-endian）");
inline constexpr const char* kDataEccTooBig =
    QT_TRANSLATE_NOOP("korvane", "数据 ECC（%1 字节）在备用区放不下。");
inline constexpr const char* kTagsDoNotFit =
    QT_TRANSLATE_NOOP("korvane", "标签放不下：备用区太小，或偏移太大。");
inline constexpr const char* kExtImage = QT_TRANSLATE_NOOP("korvane", "EXT 镜像");
inline constexpr const char* kSparseOutput = QT_TRANSLATE_NOOP("korvane", "Android sparse 格式");
inline constexpr const char* kSameAsSourceExt =
    QT_TRANSLATE_NOOP("korvane", "与源镜像相同（块大小、inode、大小、卷标、UUID）");
inline constexpr const char* kSameAsSource = QT_TRANSLATE_NOOP("korvane", "与源镜像相同");
inline constexpr const char* kPresetInband = QT_TRANSLATE_NOOP("korvane", "，页内标签");
inline constexpr const char* kPresetMarker = QT_TRANSLATE_NOOP("korvane", "，FF FF 擦除标志");
inline constexpr const char* kPresetTagOffset = QT_TRANSLATE_NOOP("korvane", "，标签在偏移 %1");
inline constexpr const char* kPresetNoTagEcc = QT_TRANSLATE_NOOP("korvane", "，标签无 ECC");
inline constexpr const char* kPresetBigEndian = QT_TRANSLATE_NOOP("korvane", "，大端");
inline constexpr const char* kPresetSeparator = QT_TRANSLATE_NOOP("korvane", "，");
// The form of a writer's options ("保存设置" of the types without a page of
// their own): an option's label by its name; a name not listed shows as it is.
inline constexpr const char* kOptionDefault = QT_TRANSLATE_NOOP("korvane", "（默认）");
struct OptionLabel {
    const char* name;
    const char* label;
};
inline constexpr OptionLabel kOptionLabels[] = {
    {"compress", QT_TRANSLATE_NOOP("korvane", "压缩：")},
    {"comp", QT_TRANSLATE_NOOP("korvane", "压缩算法：")},
    {"comp-level", QT_TRANSLATE_NOOP("korvane", "压缩级别：")},
    {"uuid", QT_TRANSLATE_NOOP("korvane", "UUID：")},
    {"label", QT_TRANSLATE_NOOP("korvane", "卷标：")},
    {"timestamp", QT_TRANSLATE_NOOP("korvane", "时间戳（Unix 秒）：")},
    {"block-size", QT_TRANSLATE_NOOP("korvane", "块大小：")},
    {"inode-size", QT_TRANSLATE_NOOP("korvane", "inode 大小：")},
    {"inodes", QT_TRANSLATE_NOOP("korvane", "inode 数：")},
    {"size", QT_TRANSLATE_NOOP("korvane", "镜像大小：")},
    {"erase-block", QT_TRANSLATE_NOOP("korvane", "擦除块大小：")},
    {"page-size", QT_TRANSLATE_NOOP("korvane", "页大小：")},
    {"byte-order", QT_TRANSLATE_NOOP("korvane", "字节序：")},
    {"pad", QT_TRANSLATE_NOOP("korvane", "填充到：")},
    {"no-cleanmarkers", QT_TRANSLATE_NOOP("korvane", "擦除块开头不写 cleanmarker")},
    {"jobs", QT_TRANSLATE_NOOP("korvane", "压缩线程数：")},
    {"ramdisk-compression", QT_TRANSLATE_NOOP("korvane", "ramdisk 压缩：")},
    {"keep-avb-footer", QT_TRANSLATE_NOOP("korvane", "保留分区大小、vbmeta 和 AVB 尾部")},
    {"no-sparse", QT_TRANSLATE_NOOP("korvane", "写成普通镜像，即使源镜像是 sparse 格式")},
};
// Saving over the image opened, which was read with warnings.
inline constexpr const char* kOverwriteWarned = QT_TRANSLATE_NOOP(
    "korvane", "%1 是打开的镜像文件，读取时有警告。覆盖它会把读不出的部分永久换成零。仍要覆盖吗？");

// The viewer of files ("打开" on a file).
inline constexpr const char* kViewerTitle = QT_TRANSLATE_NOOP("korvane", "查看 - %1");
inline constexpr const char* kViewAs = QT_TRANSLATE_NOOP("korvane", "显示为：");
inline constexpr const char* kViewText = QT_TRANSLATE_NOOP("korvane", "文本");
inline constexpr const char* kViewHex = QT_TRANSLATE_NOOP("korvane", "十六进制");
inline constexpr const char* kViewPicture = QT_TRANSLATE_NOOP("korvane", "图片");
inline constexpr const char* kEncoding = QT_TRANSLATE_NOOP("korvane", "编码：");
inline constexpr const char* kGoToOffset = QT_TRANSLATE_NOOP("korvane", "转到偏移：");
inline constexpr const char* kFind = QT_TRANSLATE_NOOP("korvane", "查找：");
inline constexpr const char* kFindHexBytes = QT_TRANSLATE_NOOP("korvane", "十六进制字节");
inline constexpr const char* kFindNext = QT_TRANSLATE_NOOP("korvane", "查找下一个");
inline constexpr const char* kSearching = QT_TRANSLATE_NOOP("korvane", "正在查找…");
inline constexpr const char* kNotFound = QT_TRANSLATE_NOOP("korvane", "没有找到“%1”。");
inline constexpr const char* kBadHexBytes =
    QT_TRANSLATE_NOOP("korvane", "十六进制字节要两位一个，如 DE AD BE EF。");
// %1 the offset typed, %2 the file's size in bytes.
inline constexpr const char* kBadOffset = QT_TRANSLATE_NOOP(
    "korvane", "偏移有误：%1（文件共 %2 字节；偏移可写十进制，或以 0x 开头的十六进制）");
// After the size in the status line: %1 the offset in hex, %2 in decimal.
inline constexpr const char* kAtOffset = QT_TRANSLATE_NOOP("korvane", "，位置：0x%1（%2）");
inline constexpr const char* kPictureTooLarge =
    QT_TRANSLATE_NOOP("korvane", "图片超过 5000 万像素，不显示。");
inline constexpr const char* kPictureUnreadable =
    QT_TRANSLATE_NOOP("korvane", "图片已损坏，读不出来。");
// "其它应用程序…": %1 the file.
inline constexpr const char* kNoApplication =
    QT_TRANSLATE_NOOP("korvane", "没有能打开这个文件的应用程序：%1");

inline constexpr const char* kNoPrivateFolder =
    QT_TRANSLATE_NOOP("korvane", "不能建立放副本的临时文件夹：%1");

// "镜像信息".
inline constexpr const char* kInfoItem = QT_TRANSLATE_NOOP("korvane", "项目");
inline constexpr const char* kInfoImage = QT_TRANSLATE_NOOP("korvane", "镜像");
inline constexpr const char* kInfoFile = QT_TRANSLATE_NOOP("korvane", "文件");
inline constexpr const char* kInfoSize = QT_TRANSLATE_NOOP("korvane", "大小");
inline constexpr const char* kBytesCount = QT_TRANSLATE_NOOP("korvane", "%1 字节");
inline constexpr const char* kInfoIdentified = QT_TRANSLATE_NOOP("korvane", "识别");
inline constexpr const char* kInfoStoredAs = QT_TRANSLATE_NOOP("korvane", "存储方式");
inline constexpr const char* kInfoReadBy = QT_TRANSLATE_NOOP("korvane", "读取格式");
inline constexpr const char* kInfoAlsoBids = QT_TRANSLATE_NOOP("korvane", "也可能是");
// %1 the format, %2 how sure (0 to 100), %3 why.
inline constexpr const char* kInfoProbe = QT_TRANSLATE_NOOP("korvane", "%1（把握 %2）：%3");
inline constexpr const char* kInfoFacts = QT_TRANSLATE_NOOP("korvane", "格式信息");
inline constexpr const char* kInfoWarnings = QT_TRANSLATE_N_NOOP("korvane", "读取警告（%n 条）");
inline constexpr const char* kInfoMember = QT_TRANSLATE_NOOP("korvane", "成员：%1");
inline constexpr const char* kInfoHolds = QT_TRANSLATE_NOOP("korvane", "内容");
inline constexpr const char* kHoldsNothing = QT_TRANSLATE_NOOP("korvane", "空");
inline constexpr const char* kHoldsUnknown = QT_TRANSLATE_NOOP("korvane", "Korvane 不认识的内容");

// "与…比较".
inline constexpr const char* kCompareTitle = QT_TRANSLATE_NOOP("korvane", "比较 %1 与 %2");
inline constexpr const char* kCompareChoose = QT_TRANSLATE_NOOP("korvane", "与什么比较：");
inline constexpr const char* kCompareWithImage = QT_TRANSLATE_NOOP("korvane", "另一个镜像文件…");
inline constexpr const char* kCompareWithFolder = QT_TRANSLATE_NOOP("korvane", "磁盘上的文件夹…");
inline constexpr const char* kCompareFolderTitle =
    QT_TRANSLATE_NOOP("korvane", "选择要比较的文件夹");
// %1 and %2 the two sides, then the counts.
inline constexpr const char* kCompareSummary =
    QT_TRANSLATE_NOOP("korvane", "%1 与 %2：新增 %3 项，删除 %4 项，修改 %5 项。");
inline constexpr const char* kCompareEqual =
    QT_TRANSLATE_NOOP("korvane", "%1 与 %2 相同（比较了 %3 项）。");
inline constexpr const char* kOnlyDifferences = QT_TRANSLATE_NOOP("korvane", "只显示差异");
inline constexpr const char* kCompareState = QT_TRANSLATE_NOOP("korvane", "差异");
inline constexpr const char* kCompareWhat = QT_TRANSLATE_NOOP("korvane", "不同之处");
inline constexpr const char* kStateAdded = QT_TRANSLATE_NOOP("korvane", "新增");
inline constexpr const char* kStateRemoved = QT_TRANSLATE_NOOP("korvane", "删除");
inline constexpr const char* kStateChanged = QT_TRANSLATE_NOOP("korvane", "修改");
inline constexpr const char* kDiffTypeText = QT_TRANSLATE_NOOP("korvane", "类型");
inline constexpr const char* kDiffContentsText = QT_TRANSLATE_NOOP("korvane", "内容");
inline constexpr const char* kDiffModeText = QT_TRANSLATE_NOOP("korvane", "权限");
inline constexpr const char* kDiffOwnerText = QT_TRANSLATE_NOOP("korvane", "所有者");
inline constexpr const char* kDiffTimeText = QT_TRANSLATE_NOOP("korvane", "修改时间");
inline constexpr const char* kDiffTargetText = QT_TRANSLATE_NOOP("korvane", "链接目标");
inline constexpr const char* kDiffDeviceText = QT_TRANSLATE_NOOP("korvane", "设备号");
inline constexpr const char* kDiffXattrsText = QT_TRANSLATE_NOOP("korvane", "扩展属性");
inline constexpr const char* kListSeparator = QT_TRANSLATE_NOOP("korvane", "、");

// "选择文件", the chooser of files to add.
inline constexpr const char* kChooseFilesTitle = QT_TRANSLATE_NOOP("korvane", "选择文件");
inline constexpr const char* kLookIn = QT_TRANSLATE_NOOP("korvane", "查找范围");
inline constexpr const char* kPlaceDesktop = QT_TRANSLATE_NOOP("korvane", "桌面");
inline constexpr const char* kPlaceHome = QT_TRANSLATE_NOOP("korvane", "主目录");
inline constexpr const char* kPlaceDocuments = QT_TRANSLATE_NOOP("korvane", "我的文档");
inline constexpr const char* kPlaceComputer = QT_TRANSLATE_NOOP("korvane", "我的电脑");
inline constexpr const char* kSelectedCount = QT_TRANSLATE_N_NOOP("korvane", "已选取 %n 项");
inline constexpr const char* kKeepAttributes = QT_TRANSLATE_NOOP("korvane", "保留文件属性");
inline constexpr const char* kKeepAttributesTip =
    QT_TRANSLATE_NOOP("korvane", "保留每个文件的权限、所有者和时间；不选时权限为 0777，时间为现在");
inline constexpr const char* kNoSuchFolder = QT_TRANSLATE_NOOP("korvane", "没有这个文件夹：%1");
inline constexpr const char* kWithChildren = QT_TRANSLATE_NOOP("korvane", "包含子项");

// The properties dialog.
inline constexpr const char* kPageGeneral = QT_TRANSLATE_NOOP("korvane", "常规");
inline constexpr const char* kLabelType = QT_TRANSLATE_NOOP("korvane", "类型：");
inline constexpr const char* kLabelSize = QT_TRANSLATE_NOOP("korvane", "大小：");
inline constexpr const char* kLabelTime = QT_TRANSLATE_NOOP("korvane", "修改时间：");
inline constexpr const char* kLabelContains = QT_TRANSLATE_NOOP("korvane", "包含：");
inline constexpr const char* kContains = QT_TRANSLATE_N_NOOP("korvane", "%n 项（下面共 %1 项）");
inline constexpr const char* kLabelUid = QT_TRANSLATE_NOOP("korvane", "UID：");
inline constexpr const char* kLabelGid = QT_TRANSLATE_NOOP("korvane", "GID：");
inline constexpr const char* kLabelDetail = QT_TRANSLATE_NOOP("korvane", "详细：");
inline constexpr const char* kPageAttributes = QT_TRANSLATE_NOOP("korvane", "扩展属性");
inline constexpr const char* kAttributeName = QT_TRANSLATE_NOOP("korvane", "名称");
inline constexpr const char* kAttributeValue = QT_TRANSLATE_NOOP("korvane", "值");
inline constexpr const char* kNoAttributes = QT_TRANSLATE_NOOP("korvane", "这个对象没有扩展属性。");
inline constexpr const char* kLabelChecksums = QT_TRANSLATE_NOOP("korvane", "校验和：");
inline constexpr const char* kComputeChecksums =
    QT_TRANSLATE_NOOP("korvane", "计算 SHA-256 和 MD5");
inline constexpr const char* kComputingChecksums = QT_TRANSLATE_NOOP("korvane", "正在计算… %1%");
inline constexpr const char* kSelinuxLabel = QT_TRANSLATE_NOOP("korvane", "SELinux 标签");
inline constexpr const char* kCapabilities = QT_TRANSLATE_NOOP("korvane", "文件能力");

} // namespace korvane::ui
