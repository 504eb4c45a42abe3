// The Chinese wording of the messages of YAFFS1 images: probing, the scan
// and the writer's checks.
#include "catalogue.h"

namespace korvane::text {

namespace {

const CatalogueEntry kTexts[] = {
    {"no YAFFS1 page: the image is shorter than 528 bytes", "没有 YAFFS1 页：镜像不足 528 字节"},
    {"no YAFFS1 tags check out (%1 of %2 sampled pages)",
     "没有相符的 YAFFS1 标签（抽样的 %2 页中有 %1 页相符）"},
    {"YAFFS1 tags and data ECC that check out on %1 of %2 sampled pages",
     "YAFFS1 标签和数据 ECC，抽样的 %2 页中有 %1 页无误"},
    {"YAFFS1 tags that check out on %1 of %2 sampled pages",
     "YAFFS1 标签，抽样的 %2 页中有 %1 页无误"},
    {"not a YAFFS1 image: %1 bytes are too few to hold a page and its spare area",
     "不是 YAFFS1 镜像：%1 字节不足以容纳一页及其备用区"},
    {"the image holds more data pages than Korvane keeps an index of; %1 pages were not read",
     "镜像中的数据页超出 Korvane 能建立索引的数量；有 %1 页未读取"},
    {"page %1 (block %2): the data ECC cannot correct it",
     "第 %1 页（第 %2 块）：数据 ECC 无法纠正"},
    {"too many objects: a YAFFS1 image holds at most %1 files and folders, this tree has %2",
     "对象过多：YAFFS1 镜像最多容纳 %1 个文件和文件夹，此目录树有 %2 个"},
    {"YAFFS1 keeps no extended attributes; %1 has %2", "YAFFS1 不支持扩展属性；%1 带有 %2"},
    {"name too long (over 255 bytes) for YAFFS1: %1",
     "名称过长（超过 255 字节），YAFFS1 无法容纳：%1"},
    {"file too large: YAFFS1 holds files of at most %1 bytes: %2",
     "文件过大：YAFFS1 最多容纳 %1 字节的文件：%2"},
    {"link target too long (over 159 bytes) for YAFFS1: %1",
     "链接目标过长（超过 159 字节），YAFFS1 无法容纳：%1"},
    {"YAFFS1 keeps device numbers of at most 255:255; %1 has %2:%3",
     "YAFFS1 的设备号最大为 255:255；%1 的设备号为 %2:%3"},
    {"YAFFS1 keeps times from 1970 to 2106 only: the times of %1 were moved into that range",
     "YAFFS1 只能保存 1970 到 2106 年之间的时间：%1 的时间已调整到此范围内"},
};

} // namespace

std::span<const CatalogueEntry> yaffs1Texts() {
    return kTexts;
}

} // namespace korvane::text
