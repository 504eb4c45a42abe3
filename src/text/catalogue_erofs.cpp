// The Chinese wording of the EROFS reader's and writer's messages.
#include "catalogue.h"

namespace korvane::text {

namespace {

const CatalogueEntry kTexts[] = {
    // Probing and the superblock.
    {"not an EROFS image: %1 bytes are too few to hold a superblock",
     "不是 EROFS 镜像：%1 字节不足以容纳超级块"},
    {"not an EROFS image: no EROFS magic at byte 1024",
     "不是 EROFS 镜像：第 1024 字节处没有 EROFS 标志"},
    {"an EROFS superblock whose checksum verifies and whose geometry fits the image",
     "EROFS 超级块校验和正确，几何参数与镜像相符"},
    {"an EROFS superblock whose geometry fits the image", "EROFS 超级块的几何参数与镜像相符"},
    {"the EROFS superblock magic, but %1", "有 EROFS 超级块标志，但%1"},
    {"the EROFS superblock magic, but its %1 blocks of %2 bytes do not fit the %3 bytes there "
     "are",
     "有 EROFS 超级块标志，但其 %1 个 %2 字节的块超出了现有的 %3 字节"},
    {"the EROFS image uses features Korvane does not read: %1",
     "该 EROFS 镜像使用了 Korvane 不能读取的特性：%1"},
    {"the EROFS superblock gives a block size of 2^%1 bytes; Korvane reads 512 bytes to 64 KiB",
     "EROFS 超级块给出的块大小为 2^%1 字节；Korvane 支持 512 字节到 64 KiB"},
    {"the EROFS superblock claims %1 extension slots, more than its block holds",
     "EROFS 超级块声称有 %1 个扩展槽，超出其所在块的容量"},
    {"the EROFS image keeps directories in blocks of another size than its data (dirblkbits "
     "%1), which Korvane does not read",
     "该 EROFS 镜像的目录块大小与数据块不同（dirblkbits %1），Korvane 不能读取"},
    {"the EROFS superblock fails its checksum", "EROFS 超级块校验和错误"},
    {"the EROFS device table lies outside the image", "EROFS 设备表位于镜像之外"},
    {"the EROFS root inode (nid %1) is not a directory", "EROFS 根 inode（nid %1）不是目录"},
    {"the superblock counts %1 long attribute prefixes without the feature that keeps them; "
     "they are not read",
     "超级块记有 %1 个长属性前缀，但未启用保存它们的特性；未读取这些前缀"},
    {"the long attribute prefixes cannot be read (%1); attributes named with them are left out",
     "无法读取长属性前缀（%1）；使用它们命名的属性被略去"},
    {"the long attribute prefixes lie outside the image", "长属性前缀位于镜像之外"},
    {"the long attribute prefixes lie outside the packed inode", "长属性前缀超出了 packed inode"},
    {"long attribute prefix %1 has a length of %2", "长属性前缀 %1 的长度为 %2"},
    {"long attribute prefix %1 names an unknown short prefix", "长属性前缀 %1 指向未知的短前缀"},

    // Inodes, attributes, directories.
    {"inode %1 lies outside the image", "inode %1 位于镜像之外"},
    {"inode %1 has an unknown format (0x%2)", "inode %1 的格式未知（0x%2）"},
    {"inode %1 changed size", "inode %1 的大小已改变"},
    {"%1 is not an object of this image", "%1 不是本镜像中的对象"},
    {"inode %1: its attributes lie outside the image", "inode %1：其属性位于镜像之外"},
    {"inode %1: it counts more shared attributes than its attribute area holds",
     "inode %1：其共享属性的数目超出了属性区的容量"},
    {"inode %1: %2; the attributes after it are left out", "inode %1：%2；其后的属性被略去"},
    {"inode %1: shared attribute %2 lies outside the image", "inode %1：共享属性 %2 位于镜像之外"},
    {"inode %1: shared attribute %2: %3", "inode %1：共享属性 %2：%3"},
    {"inode %1: its link target cannot be read (%2)", "inode %1：无法读取其链接目标（%2）"},
    {"an attribute entry at byte %1 is cut off", "第 %1 字节处的属性项不完整"},
    {"the attribute entry at byte %1 runs past its area", "第 %1 字节处的属性项超出了属性区"},
    {"the attribute entry at byte %1 has an unknown name index %2",
     "第 %1 字节处的属性项的名称索引 %2 未知"},
    {"a directory block of %1 bytes holds no entry", "%1 字节的目录块不含任何目录项"},
    {"the first entry's name offset %1 is out of place", "第一个目录项的名称偏移 %1 不在正确位置"},
    {"entry %1's name offset %2 is out of place", "目录项 %1 的名称偏移 %2 不在正确位置"},
    {"entry %1 has a name of %2 bytes", "目录项 %1 的名称长 %2 字节"},
    {"directory %1: block %2 cannot be read (%3); the rest of it is not read",
     "目录 %1：无法读取第 %2 块（%3）；目录的其余部分未读取"},
    {"directory %1: block %2: %3; the entries after it are left out",
     "目录 %1：第 %2 块：%3；其后的目录项被略去"},
    {"directory %1: the directories read so far take more than the file can hold; the rest of "
     "it is not read",
     "目录 %1：已读取的目录超出了文件所能容纳的大小；目录的其余部分未读取"},
    {"%1: %2; left out", "%1：%2；已略去"},

    // Block and cluster maps, decoding.
    {"the block map of inode %1 points outside the image (byte %2)",
     "inode %1 的块映射指向镜像之外（第 %2 字节）"},
    {"the inline tail of inode %1 crosses a block boundary", "inode %1 的内联尾部跨越了块边界"},
    {"inode %1 has an unknown chunk format 0x%2", "inode %1 的块组格式 0x%2 未知"},
    {"inode %1 claims chunks of 2^%2 bytes", "inode %1 声称块组大小为 2^%2 字节"},
    {"inode %1 is compressed with extent records, a layout Korvane does not read",
     "inode %1 使用区段记录压缩，Korvane 不能读取这种布局"},
    {"inode %1: its compact index mixes big and small physical clusters",
     "inode %1：其紧凑索引混用了大、小物理簇"},
    {"inode %1 claims logical clusters of 2^%2 bytes", "inode %1 声称逻辑簇大小为 2^%2 字节"},
    {"inode %1: logical cluster %2 starts its extent at byte %3, past its end",
     "inode %1：逻辑簇 %2 的区段起点在第 %3 字节，超出了簇的末尾"},
    {"inode %1: logical cluster %2 counts compressed blocks, but the file has no big physical "
     "clusters",
     "inode %1：逻辑簇 %2 记有压缩块数，但该文件没有大物理簇"},
    {"inode %1: logical cluster %2 is past the end of its index",
     "inode %1：逻辑簇 %2 超出了索引的末尾"},
    {"inode %1: 2-byte compact indexes with logical clusters of 2^%2 bytes",
     "inode %1：2 字节紧凑索引配 2^%2 字节的逻辑簇"},
    {"inode %1: the compact index of logical cluster %2 is damaged",
     "inode %1：逻辑簇 %2 的紧凑索引已损坏"},
    {"inode %1: logical cluster %2 points back %3 clusters, to no head",
     "inode %1：逻辑簇 %2 向前指 %3 个簇，没有指到簇头"},
    {"inode %1: its first logical cluster starts no extent at byte 0",
     "inode %1：其第一个逻辑簇没有从第 0 字节开始区段"},
    {"inode %1: logical cluster %2 does not count the blocks of its big physical cluster",
     "inode %1：逻辑簇 %2 没有记录其大物理簇的块数"},
    {"inode %1: the extent at byte %2 is longer than %3 bytes",
     "inode %1：第 %2 字节处的区段长于 %3 字节"},
    {"inode %1: its inline compressed tail crosses a block boundary",
     "inode %1：其内联压缩尾部跨越了块边界"},
    {"inode %1: an extent lies at block %2", "inode %1：有区段位于第 %2 块"},
    {"inode %1: a physical cluster of %2 bytes", "inode %1：物理簇长 %2 字节"},
    {"inode %1: the extent at byte %2 is %3 bytes long", "inode %1：第 %2 字节处的区段长 %3 字节"},
    {"inode %1: the stored extent at byte %2 is longer than its cluster",
     "inode %1：第 %2 字节处未压缩的区段长于其簇"},
    {"inode %1: its map gives no extent at byte %2", "inode %1：其映射在第 %2 字节处没有区段"},
    {"inode %1: its data at byte %2 lies on device %3, which is not part of this image",
     "inode %1：其第 %2 字节处的数据位于设备 %3 上，该设备不在本镜像中"},
    {"inode %1: a fragment inside the packed inode", "inode %1：packed inode 中出现了片段"},
    {"inode %1: its fragment lies past the end of the packed inode",
     "inode %1：其片段超出了 packed inode 的末尾"},
    {"inode %1: the cluster at byte %2 lies outside the image",
     "inode %1：第 %2 字节处的簇位于镜像之外"},
    {"an extent compressed with %1, which Korvane does not read",
     "区段以 %1 压缩，Korvane 不能读取"},
    {"a stored cluster of %1 bytes cannot hold an extent of %2",
     "%1 字节的未压缩簇容纳不下 %2 字节的区段"},
    {"a %1 cluster holds only zeros", "%1 簇中只有零"},
    {"a %1 cluster does not decode to its %2 bytes", "%1 簇解压后不是应有的 %2 字节"},

    // Writing.
    {"--compress takes none, lz4 or lz4hc with an optional level from 1 to 12 (lz4hc,12); not "
     "%1",
     "--compress 须为 none、lz4 或 lz4hc，可附 1 到 12 的级别（lz4hc,12）；不能是 %1"},
    {"--label takes at most 16 bytes for EROFS; %1 has %2",
     "EROFS 的 --label 最多 16 字节；%1 有 %2 字节"},
    {"EROFS images are written with 4096-byte blocks only; not %1",
     "EROFS 镜像只能以 4096 字节的块写出；不能是 %1"},
    {"EROFS keeps device numbers of at most 4095:1048575; %1 has %2:%3",
     "EROFS 的设备号最大为 4095:1048575；%1 的设备号为 %2:%3"},
    {"%1: the extended attribute %2 is outside the namespaces EROFS keeps (user., trusted., "
     "security., system.posix_acl_*)",
     "%1：扩展属性 %2 不在 EROFS 支持的命名空间内（user.、trusted.、security.、"
     "system.posix_acl_*）"},
    {"%1: the extended attribute %2 is too long for EROFS (names up to 255 bytes after the "
     "prefix, values up to 65535 bytes)",
     "%1：扩展属性 %2 对 EROFS 而言太长（前缀后的名称最多 255 字节，值最多 65535 字节）"},
    {"%1 has more than 255 shared extended attributes, which EROFS cannot hold",
     "%1 有超过 255 个共享扩展属性，EROFS 无法容纳"},
    {"the extended attributes of %1 take %2 bytes; an EROFS inode with 4 KiB blocks holds at "
     "most %3",
     "%1 的扩展属性占 %2 字节；4 KiB 块的 EROFS inode 最多容纳 %3 字节"},
    {"the tree needs more than 2^32 blocks of 4 KiB, more than EROFS holds",
     "该目录树需要超过 2^32 个 4 KiB 的块，超出了 EROFS 的容量"},
    {"there is no tree to save", "没有可保存的目录树"},
};

} // namespace

std::span<const CatalogueEntry> erofsTexts() {
    return kTexts;
}

} // namespace korvane::text
