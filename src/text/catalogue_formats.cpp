// The Chinese wording of the messages of the image stack: probing, layers,
// containers and members, the registry's options.
#include "catalogue.h"

namespace korvane::text {

namespace {

const CatalogueEntry kTexts[] = {
    // Opening and probing.
    {"not an image Korvane can read: %1", "不是 Korvane 能读取的镜像：%1"},
    {"no format is named %1; the formats are %2", "没有名为 %1 的格式；可用的格式有 %2"},
    {"the image is wrapped in more than %1 layers", "镜像外包了超过 %1 层"},
    {"no Android sparse header at byte 0", "第 0 字节处没有 Android sparse 文件头"},
    {"an Android sparse header whose sizes check out", "Android sparse 文件头，各项大小无误"},
    {"an EXT superblock whose checksum verifies and whose geometry fits the image",
     "EXT 超级块校验和正确，几何参数与镜像相符"},
    {"an EXT superblock whose geometry fits the image", "EXT 超级块的几何参数与镜像相符"},
    {"the EXT superblock magic, but %1", "有 EXT 超级块标志，但%1"},
    {"no YAFFS2 layout checks out", "没有相符的 YAFFS2 布局"},
    {"a YAFFS2 layout (%1) whose tags check out on %2 of %3 sampled pages",
     "YAFFS2 布局（%1），抽样的 %3 页中有 %2 页的标签无误"},
    {"the bytes could also be %1; open them as that with --format %2",
     "这些数据也可能是 %1；可用 --format %2 按此格式打开"},

    // Byte layers and members.
    {"an extent at byte %1 of %2 bytes runs past the end of its container (%3 bytes); what "
     "is missing reads as zeros",
     "位于第 %1 字节、长 %2 字节的区段超出了所在容器的末尾（%3 字节）；缺少的部分按零读取"},
    {"the extents add up to more than 2^64 bytes", "各区段之和超过 2^64 字节"},
    {"cancelled", "已取消"},
    {"a member named %1 cannot keep its name; it is listed as %2",
     "名为 %1 的成员无法保留原名，列为 %2"},
    {"%1 is not a member of this image", "%1 不是本镜像的成员"},
    {"%1 has no member named %2; its members are %3", "%1 中没有名为 %2 的成员；其成员为 %3"},
    {"%1 holds nothing named %2", "%1 中没有名为 %2 的对象"},
    {"%1 is no longer in the image around it", "%1 已不在外层镜像中"},
    {"%1 is not a file, so it holds no image", "%1 不是文件，不含镜像"},
    {"%1 holds a %2 filesystem, not members", "%1 是 %2 文件系统，没有成员"},

    // Saving and the writers' options.
    {"Korvane cannot write %1 images", "Korvane 无法写出 %1 镜像"},
    {"--%1 takes a number from %2 to %3, not %4", "--%1 须为 %2 到 %3 之间的数，不能是 %4"},
    {"--%1 is not an option of %2 images", "--%1 不是 %2 镜像的选项"},
    {"--%1 takes %2 for %3 images, not %4", "--%1 对 %3 镜像只能取 %2，不能是 %4"},
    {"--erase-marker and --no-erase-marker exclude each other",
     "--erase-marker 与 --no-erase-marker 不能同时使用"},
    {"--tag-offset and the erase marker options exclude each other",
     "--tag-offset 不能与擦除标记选项同时使用"},
    {"no format can start an empty image", "没有格式能新建空镜像"},

    // find and diff.
    {"find: %1 needs an argument", "find：%1 需要一个参数"},
    {"find: %1 takes a number with an optional + or -, not %2",
     "find：%1 须为数字（可带 + 或 -），不能是 %2"},
    {"find: %1 takes a number, not %2", "find：%1 须为数字，不能是 %2"},
    {"find: -newer takes a time (2024-01-31, 2024-01-31 12:00, @SECONDS) or a file on disk, "
     "not %1",
     "find：-newer 须为时间（2024-01-31、2024-01-31 12:00、@秒数）或磁盘上的文件，不能是 %1"},
    {"find: -perm takes an octal or symbolic mode, not %1",
     "find：-perm 须为八进制或符号形式的权限，不能是 %1"},
    {"find: -type takes one of f d l b c p s, not %1",
     "find：-type 须为 f d l b c p s 之一，不能是 %1"},
    {"find: a ( is not closed", "find：有未闭合的 ("},
    {"find: an expression is missing after %1", "find：%1 之后缺少表达式"},
    {"find: unexpected %1", "find：多余的 %1"},
    {"find: unknown test %1", "find：未知的测试 %1"},

    // The Android build's metadata.
    {"%1, line %2: not an fs_config line (PATH UID GID MODE [capabilities=MASK]): %3",
     "%1 第 %2 行：不是 fs_config 行（路径 UID GID 权限 [capabilities=掩码]）：%3"},
    {"%1, line %2: not a file_contexts line (REGEX [TYPE] LABEL): %3",
     "%1 第 %2 行：不是 file_contexts 行（正则表达式 [类型] 标签）：%3"},
    {"%1, line %2: %3 is not a regular expression (%4)", "%1 第 %2 行：%3 不是正则表达式（%4）"},
    {"cannot create %1", "无法创建 %1"},
    {"warning: %1 objects have no fs_config line and keep their own owner and mode (the "
     "first: %2)",
     "警告：%1 个对象在 fs_config 中没有对应行，保留其原有的属主和权限（第一个：%2）"},
};

} // namespace

std::span<const CatalogueEntry> formatTexts() {
    return kTexts;
}

} // namespace korvane::text
