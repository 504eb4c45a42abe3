// The Chinese wording of the messages of SquashFS images: probing, reading,
// the library's errors, writing and its options.
#include "catalogue.h"

namespace korvane::text {

namespace {

const CatalogueEntry kTexts[] = {
    // Probing and the superblock.
    {"not a SquashFS image: %1 bytes are too few to hold a superblock",
     "不是 SquashFS 镜像：%1 字节不足以容纳超级块"},
    {"no SquashFS superblock at byte 0", "第 0 字节处没有 SquashFS 超级块"},
    {"the SquashFS superblock magic, but %1", "有 SquashFS 超级块标志，但%1"},
    {"a SquashFS superblock, but the image is cut short: it holds %1 of its %2 bytes",
     "SquashFS 超级块，但镜像不完整：只有 %2 字节中的 %1 字节"},
    {"a SquashFS superblock whose tables fit the image and whose root inode is a folder",
     "SquashFS 超级块，各表与镜像相符，根 inode 是文件夹"},
    {"a SquashFS superblock whose tables fit the image", "SquashFS 超级块，各表与镜像相符"},
    {"a big-endian SquashFS image (version 3 or older), which Korvane cannot read",
     "大端序的 SquashFS 镜像（版本 3 或更早），Korvane 无法读取"},
    {"a SquashFS image of version %1.%2; Korvane reads version 4.0",
     "SquashFS 镜像版本为 %1.%2；Korvane 只读取 4.0 版"},
    {"the SquashFS superblock cannot be read", "无法读取 SquashFS 超级块"},
    {"the SquashFS superblock says the image holds %1 bytes", "SquashFS 超级块称镜像只有 %1 字节"},
    {"the SquashFS superblock places the inode table (byte %1) after the folder table (byte %2)",
     "SquashFS 超级块中 inode 表（第 %1 字节）位于文件夹表（第 %2 字节）之后"},
    {"the SquashFS superblock places the folder table (byte %1) past the image's end (byte %2)",
     "SquashFS 超级块中文件夹表（第 %1 字节）超出了镜像末尾（第 %2 字节）"},
    {"the SquashFS superblock places the root inode outside the inode table",
     "SquashFS 超级块中的根 inode 位于 inode 表之外"},

    // The library's errors, as the reason of a message.
    {"there is not enough memory", "内存不足"},
    {"it lies outside the image", "它位于镜像之外"},
    {"its compressed data is damaged", "它的压缩数据已损坏"},
    {"it is damaged", "它已损坏"},
    {"it uses a feature Korvane cannot read", "它使用了 Korvane 无法读取的特性"},
    {"it claims a size larger than it can have", "它声称的大小超出了可能的范围"},
    {"it points outside its table", "它指向所在表之外"},
    {"the superblock has no SquashFS magic", "超级块没有 SquashFS 标志"},
    {"the superblock names a SquashFS version other than 4.0", "超级块中的 SquashFS 版本不是 4.0"},
    {"the superblock names a block size other than a power of two from 4 KiB to 1 MiB",
     "超级块中的块大小不是 4 KiB 到 1 MiB 之间的 2 的幂"},
    {"it is not a folder", "它不是文件夹"},
    {"it does not exist", "它不存在"},
    {"it loops", "它形成了循环"},
    {"it is not a regular file", "它不是普通文件"},
    {"libsquashfs error %1", "libsquashfs 错误 %1"},

    // Compressors.
    {"cannot use the %1 compressor", "无法使用 %1 压缩器"},
    {"the image is compressed with %1, which Korvane cannot read",
     "镜像使用 %1 压缩，Korvane 无法读取"},
    {"the options of the %1 compressor after the superblock cannot be read",
     "无法读取超级块之后 %1 压缩器的选项"},

    // Reading.
    {"the image is cut short: it holds %1 of the %2 bytes of its filesystem; what lies past "
     "its end cannot be read",
     "镜像不完整：文件系统的 %2 字节中只有 %1 字节；末尾之后的内容无法读取"},
    {"the table of owners cannot be read; every object is shown as owned by 0:0",
     "无法读取属主表；所有对象均显示为属于 0:0"},
    {"the fragment table counts %1 entries, more than the image can hold; the ends of files "
     "kept in fragments cannot be read",
     "片段表声称有 %1 项，超出镜像所能容纳；保存在片段中的文件末尾无法读取"},
    {"the fragment table cannot be read; the ends of files kept in fragments cannot be read",
     "无法读取片段表；保存在片段中的文件末尾无法读取"},
    {"the table of extended attributes lies outside the image", "扩展属性表位于镜像之外"},
    {"the table of extended attributes counts %1 ids, more than its %2 bytes can list",
     "扩展属性表声称有 %1 个编号，超出其 %2 字节所能列出"},
    {"the table of extended attributes says its pairs lie outside the image",
     "扩展属性表称其属性对位于镜像之外"},
    {"the table of extended attributes cannot be read", "无法读取扩展属性表"},
    {"%1; the extended attributes are left out", "%1；扩展属性被略去"},
    {"%1: its owner is not in the table of owners (entries %2 and %3 of %4); it is shown as "
     "owned by 0:0",
     "%1：其属主不在属主表中（%4 项中的第 %2 和第 %3 项）；显示为属于 0:0"},
    {"%1: its extended attributes cannot be read in full", "%1：其扩展属性无法完整读取"},
    {"the root folder's inode cannot be read", "无法读取根文件夹的 inode"},
    {"the root inode is damaged: it does not describe a folder",
     "根 inode 已损坏：它描述的不是文件夹"},
    {"folder %1: its listing cannot be read after %2 entries; the rest of it is left out",
     "文件夹 %1：读取 %2 项之后无法继续读取其列表；其余部分被略去"},
    {"folder %1: an entry has a name that cannot be (%2 bytes); left out",
     "文件夹 %1：有一项的名称无效（%2 字节）；已略去"},
    {"%1: listed after %2, out of order or twice; left out",
     "%1：排在 %2 之后，顺序错乱或重复；已略去"},
    {"the folders name more objects than the image's tables can describe; the walk stops at %1",
     "文件夹列出的对象多于镜像各表所能描述的数量；在 %1 处停止读取"},
    {"%1: its inode cannot be read; left out", "%1：无法读取其 inode；已略去"},
    {"%1: names a folder whose listing was read before; left out",
     "%1：指向一个列表已读过的文件夹；已略去"},
    {"the contents of %1 are not in the image", "%1 的内容不在镜像中"},
    {"the inode of %1 cannot be read", "无法读取 %1 的 inode"},
    {"%1 claims %2 bytes in %3 blocks; Korvane reads files of at most %4 blocks",
     "%1 声称有 %2 字节、%3 个块；Korvane 只读取最多 %4 个块的文件"},
    {"the fragment block holding the end of %1 cannot be read", "无法读取存放 %1 末尾的片段块"},
    {"the end of %1 lies outside its fragment block", "%1 的末尾位于其片段块之外"},
    {"block %1 of %2 cannot be read", "无法读取 %2 的第 %1 块"},
    {"block %1 of %2 holds %3 bytes where %4 belong", "%2 的第 %1 块有 %3 字节，应为 %4 字节"},

    // Writing.
    {"Korvane cannot write SquashFS images compressed with %1",
     "Korvane 无法写出以 %1 压缩的 SquashFS 镜像"},
    {"--comp takes gzip, xz, lzo, lz4 or zstd, not %1",
     "--comp 只能取 gzip、xz、lzo、lz4 或 zstd，不能是 %1"},
    {"--block-size takes a power of two from 4096 to 1048576, not %1",
     "--block-size 须为 4096 到 1048576 之间的 2 的幂，不能是 %1"},
    {"--comp-level: %1 takes levels from %2 to %3, not %4",
     "--comp-level：%1 的压缩级别为 %2 到 %3，不能是 %4"},
    {"--comp-level: %1 takes no level", "--comp-level：%1 没有压缩级别"},
    {"%1 cannot be stored: a name must not be empty, \".\" or \"..\", nor hold \"/\" or a NUL "
     "byte",
     "无法保存 %1：名称不能为空、\".\" 或 \"..\"，也不能含有 \"/\" 或 NUL 字节"},
    {"the name of %1 is %2 bytes long; SquashFS holds names of at most %3 bytes",
     "%1 的名称长 %2 字节；SquashFS 的名称最长 %3 字节"},
    {"%1 holds two objects named %2", "%1 中有两个名为 %2 的对象"},
    {"the target of the hard link %1 is not in the tree", "硬链接 %1 的目标不在树中"},
    {"%1 is a hard link to a folder, which SquashFS cannot hold",
     "%1 是指向文件夹的硬链接，SquashFS 无法保存"},
    {"the target of the symbolic link %1 is %2 bytes long; SquashFS holds targets of 1 to %3 "
     "bytes",
     "符号链接 %1 的目标长 %2 字节；SquashFS 的链接目标为 1 到 %3 字节"},
    {"the target of the symbolic link %1 holds a NUL byte", "符号链接 %1 的目标含有 NUL 字节"},
    {"SquashFS keeps device numbers of majors below 4096 and minors below 1048576; %1 has %2:%3",
     "SquashFS 的设备号主号须小于 4096、次号须小于 1048576；%1 的设备号为 %2:%3"},
    {"SquashFS keeps times from 1970 to 2106 only: the time of %1 was moved into that range",
     "SquashFS 只能保存 1970 年到 2106 年的时间：%1 的时间已移入此范围"},
    {"SquashFS holds only user., trusted. and security. attributes: %1 of %2 is left out",
     "SquashFS 只保存 user.、trusted. 和 security. 属性：%2 的 %1 被略去"},
    {"SquashFS holds at most %1 different owners and groups; the tree has %2",
     "SquashFS 最多保存 %1 个不同的属主和组；此树有 %2 个"},
    {"Writing the inode and folder tables", "正在写入 inode 表和文件夹表"},
    {"cannot start the image", "无法开始写镜像"},
    {"cannot write the superblock", "无法写入超级块"},
    {"cannot write the compressor's options", "无法写入压缩器选项"},
    {"cannot start the compressing threads", "无法启动压缩线程"},
    {"cannot write the file contents", "无法写入文件内容"},
    {"cannot store the owner of %1", "无法保存 %1 的属主"},
    {"cannot store the extended attributes of %1", "无法保存 %1 的扩展属性"},
    {"cannot write the inode of %1", "无法写入 %1 的 inode"},
    {"cannot write the folder %1", "无法写入文件夹 %1"},
    {"cannot write the inode and folder tables", "无法写入 inode 表和文件夹表"},
    {"cannot write the fragment table", "无法写入片段表"},
    {"cannot write the export table", "无法写入导出表"},
    {"cannot write the table of owners", "无法写入属主表"},
    {"cannot write the extended attributes", "无法写入扩展属性"},
};

} // namespace

std::span<const CatalogueEntry> squashfsTexts() {
    return kTexts;
}

} // namespace korvane::text
