// The Chinese wording of the core's messages. Each English template maps to
// a Chinese one with the same places; the fixed Chinese texts that jobs still
// send as they stand are here too, so English readers get them in English.
#include "catalogue.h"

#include <cerrno>

namespace korvane::text {

namespace {

const CatalogueEntry kCatalogue[] = {
    // Object types and sizes of the list, the properties and the summary.
    {"File", "文件"},
    {"Folder", "目录"},
    {"Folder (%1 items)", "目录(包含%1项)"},
    {"Symbolic link  ->%1", "软链接  ->%1"},
    {"Hard link  ->%1", "硬链接  ->%1"},
    {"Character device", "字符设备"},
    {"Block device", "块设备"},
    {"FIFO", "管道"},
    {"Socket", "套接字"},
    {"Other", "其它"},
    {"Unknown", "未知"},
    {"%1 bytes", "%1字节"},
    {"%1KB (%2 bytes)", "%1KB (%2字节)"},
    {"%1MB (%2 bytes)", "%1MB (%2字节)"},

    // Steps of the jobs.
    {"Scanning blocks", "正在扫描块"},
    {"Building the file list", "构建文件列表"},
    {"Done", "完成"},
    {"Saving", "保存中"},
    {"Working out the space", "正在计算空间"},
    {"Creating the file", "正在创建文件"},
    {"Writing the image header", "正在写入IMG文件头"},
    {"Writing the journal", "正在写入日志文件"},
    {"Writing the data", "开始写入数据"},
    {"Preparing..", "正在准备。。"},
    {"Counting the files to add", "正在统计添加文件"},

    // Opening images.
    {"cannot open %1", "无法打开 %1"},
    {"cannot read %1", "无法读取 %1"},
    {"cannot map %1", "无法映射 %1"},
    {"%1 is not a regular file", "%1 不是普通文件"},
    {"%1 is empty", "%1 是空文件"},
    {"%1 is too short to be an image (%2 bytes)", "%1 太短，不是镜像（%2 字节）"},
    {"%1 is not an image Korvane can read", "%1 不是 Korvane 能读取的镜像"},
    {"not an EXT2/EXT3 image", "不是 EXT2/EXT3 镜像"},
    {"image too large: more than 2^32 chunks", "镜像太大：超过 2^32 个块"},
    {"the root directory's inode lies outside the image", "根目录的 inode 在镜像之外"},
    {"the root header does not describe a directory; it is shown as one",
     "根对象头描述的不是目录，仍按目录显示"},

    // Extraction and saving.
    {"no target folder given", "没有指定目标文件夹"},
    {"cannot open the target folder %1", "无法打开目标文件夹 %1"},
    {"cannot write to standard output", "无法写入标准输出"},
    {"cannot create a file in %1", "无法在 %1 中创建文件"},
    {"cannot write %1", "无法写入 %1"},
    {"cannot size %1", "无法设置 %1 的大小"},
    {"cannot reserve space for %1", "无法为 %1 预留空间"},
    {"the name cannot be used as a file name", "该名称不能用作文件名"},
    {"a folder of that name is in the way", "已有同名文件夹"},
    {"cannot create the file", "无法创建文件"},
    {"cannot write the file", "无法写入文件"},
    {"cannot create the folder", "无法创建文件夹"},
    {"cannot replace the existing entry", "无法替换已有的文件"},
    {"kept the existing file", "保留了已有的文件"},
};

const SystemErrorText kSystemErrors[] = {
    {EPERM, "不允许的操作"},       {ENOENT, "没有那个文件或目录"},
    {EIO, "输入/输出错误"},        {ENXIO, "没有那个设备或地址"},
    {EBADF, "错误的文件描述符"},   {EAGAIN, "资源暂时不可用"},
    {ENOMEM, "无法分配内存"},      {EACCES, "权限不够"},
    {EBUSY, "设备或资源忙"},       {EEXIST, "文件已存在"},
    {EXDEV, "无效的跨设备链接"},   {ENODEV, "没有那个设备"},
    {ENOTDIR, "不是目录"},         {EISDIR, "是一个目录"},
    {EINVAL, "无效的参数"},        {EMFILE, "打开的文件过多"},
    {ETXTBSY, "文本文件忙"},       {EFBIG, "文件过大"},
    {ENOSPC, "设备上没有空间"},    {EROFS, "只读文件系统"},
    {ENAMETOOLONG, "文件名过长"},  {ENOTEMPTY, "目录非空"},
    {ELOOP, "符号链接的层数过多"}, {EOVERFLOW, "数值过大，超出数据类型的范围"},
    {EDQUOT, "超出磁盘配额"},      {EOPNOTSUPP, "不支持的操作"},
};

} // namespace

std::span<const CatalogueEntry> catalogue() {
    return kCatalogue;
}

std::span<const SystemErrorText> systemErrorTexts() {
    return kSystemErrors;
}

} // namespace korvane::text
