// The Chinese wording of the messages of JFFS2 images: probing, the node
// scan, the tree, reading contents and the writer's checks and options.
#include "catalogue.h"

namespace korvane::text {

namespace {

const CatalogueEntry kTexts[] = {
    // Probing and opening.
    {"%1 JFFS2 nodes (%2) whose header checksums verify",
     "%1 个 JFFS2 节点（%2），节点头校验和正确"},
    {"a JFFS2 node (%1) whose header checksum verifies", "一个 JFFS2 节点（%1），节点头校验和正确"},
    {"no JFFS2 node at the start of the image", "镜像开头没有 JFFS2 节点"},
    {"no JFFS2 node was found in the image", "镜像中找不到 JFFS2 节点"},
    {"Scanning nodes", "正在扫描节点"},

    // What the scan and the tree read around.
    {"only the first 4 GiB of the image were read: JFFS2 keeps 32-bit offsets",
     "只读取了镜像的前 4 GiB：JFFS2 使用 32 位偏移"},
    {"%1 nodes of the JFFS2 format of before Linux 2.4.10 were skipped (the first at byte %2)",
     "跳过了 %1 个 Linux 2.4.10 之前的旧 JFFS2 格式节点（第一个位于第 %2 字节）"},
    {"%1 bytes that are neither erased flash nor a node were skipped (the first at byte %2)",
     "跳过了 %1 字节既非已擦除闪存也非节点的数据（第一处位于第 %2 字节）"},
    {"%1 nodes fail their checksums or do not hold together and were skipped (the first at "
     "byte %2)",
     "%1 个节点校验和错误或结构不完整，已跳过（第一个位于第 %2 字节）"},
    {"%1 nodes of a type Korvane does not know were skipped (the first, of type %2, at byte "
     "%3); the kernel would not mount this image for writing",
     "跳过了 %1 个 Korvane 不认识类型的节点（第一个类型为 %2，位于第 %3 字节）；内核不会以可写方式"
     "挂载此镜像"},
    {"%1 nodes of a type Korvane does not know were skipped (the first, of type %2, at byte %3)",
     "跳过了 %1 个 Korvane 不认识类型的节点（第一个类型为 %2，位于第 %3 字节）"},
    {"the image holds more nodes than Korvane keeps an index of; %1 nodes were not read",
     "镜像中的节点超出 Korvane 能建立索引的数量；有 %1 个节点未读取"},
    {"%1 names point to inodes without nodes and were left out: %2%3",
     "%1 个名称指向没有节点的 inode，已略去：%2%3"},
    {"%1 further names of folders were left out (a folder has one name): %2%3",
     "略去了文件夹的另外 %1 个名称（文件夹只能有一个名称）：%2%3"},
    {"the targets of %1 symbolic links cannot be read", "有 %1 个符号链接的目标无法读取"},
    {"the root inode does not describe a directory; it is shown as one",
     "根 inode 描述的不是目录；仍按目录显示"},

    // Reading contents.
    {"the data of %1 from byte %2 on is compressed with %3, which Korvane does not read",
     "%1 从第 %2 字节起的数据以 %3 压缩，Korvane 无法读取"},
    {"the data of %1 from byte %2 on cannot be read: the node at byte %3 does not decompress "
     "to the %4 bytes it gives",
     "%1 从第 %2 字节起的数据无法读取：位于第 %3 字节的节点解压后不是其声明的 %4 字节"},
    {"the data of %1 from byte %2 on cannot be read: the node at byte %3 changed under the "
     "reader",
     "%1 从第 %2 字节起的数据无法读取：位于第 %3 字节的节点在读取期间发生了变化"},

    // Writing.
    {"Writing the nodes", "正在写入节点"},
    {"JFFS2 erase blocks are at least 4 KiB, and a multiple of 4 bytes; not %1",
     "JFFS2 擦除块至少 4 KiB，且须为 4 字节的倍数；不能是 %1"},
    {"Korvane cannot write JFFS2 data compressed with %1",
     "Korvane 无法写出以 %1 压缩的 JFFS2 数据"},
    {"JFFS2 names are 1 to 254 bytes without \"/\" or NUL; cannot save %1",
     "JFFS2 名称须为 1 到 254 字节，且不含“/”或 NUL；无法保存 %1"},
    {"JFFS2 has no hard links to folders; cannot save %1",
     "JFFS2 不支持指向文件夹的硬链接；无法保存 %1"},
    {"file too large: JFFS2 holds files of less than 4 GiB: %1",
     "文件过大：JFFS2 只能容纳小于 4 GiB 的文件：%1"},
    {"link target too long (over 254 bytes) for JFFS2: %1",
     "链接目标过长（超过 254 字节），JFFS2 无法容纳：%1"},
    {"JFFS2 keeps owners of at most 65535; %1 has %2:%3",
     "JFFS2 的属主最大为 65535；%1 的属主为 %2:%3"},
    {"JFFS2 keeps device numbers of at most 4095:1048575; %1 has %2:%3",
     "JFFS2 的设备号最大为 4095:1048575；%1 的设备号为 %2:%3"},
    {"JFFS2 cannot hold the extended attribute %1 of %2: it keeps only user., security. and "
     "trusted. names and POSIX ACLs",
     "JFFS2 无法容纳 %2 的扩展属性 %1：它只支持 user.、security.、trusted. 名称和 POSIX ACL"},
    {"the extended attribute %1 of %2 is too long for JFFS2 with erase blocks of %3 bytes",
     "%2 的扩展属性 %1 过长，擦除块为 %3 字节的 JFFS2 无法容纳"},
    {"JFFS2 keeps times from 1970 to 2106 only: the times of %1 were moved into that range",
     "JFFS2 只能保存 1970 到 2106 年之间的时间：%1 的时间已调整到此范围内"},
    {"the image takes %1 bytes, more than the %2 given with --pad",
     "镜像需要 %1 字节，超过了 --pad 指定的 %2 字节"},
    {"the new image takes %1 bytes, more than the source image's %2; it is not padded",
     "新镜像需要 %1 字节，超过了源镜像的 %2 字节；未作填充"},
    {"the source image's data is compressed with %1, which Korvane does not write; the new "
     "image uses zlib",
     "源镜像的数据以 %1 压缩，Korvane 无法写出这种压缩；新镜像改用 zlib"},
    {"--erase-block takes a multiple of 1 KiB, not %1",
     "--erase-block 须为 1 KiB 的倍数，不能是 %1"},
    {"--byte-order takes le or be, not %1", "--byte-order 须为 le 或 be，不能是 %1"},
    {"--compress takes zlib, lzo or none for JFFS2 images, not %1",
     "JFFS2 镜像的 --compress 须为 zlib、lzo 或 none，不能是 %1"},
    {"--pad takes a size such as 16M, at most 4G, or block; not %1",
     "--pad 须为 16M 这样的大小（至多 4G）或 block；不能是 %1"},
    {"the zlib library cannot be used", "无法使用 zlib 库"},
    {"the LZO library cannot be used", "无法使用 LZO 库"},
};

} // namespace

std::span<const CatalogueEntry> jffs2Texts() {
    return kTexts;
}

} // namespace korvane::text
