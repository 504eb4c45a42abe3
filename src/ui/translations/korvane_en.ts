<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>korvane</name>
    <message>
        <source>、</source>
        <translation>, </translation>
    </message>
    <message>
        <source>Korvane 浏览器</source>
        <translation>Korvane Browser</translation>
    </message>
    <message>
        <source>Korvane 浏览器 Ver 2.0</source>
        <translation>Korvane Browser Ver 2.0</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>放弃修改！</source>
        <translation>Discard the changes?</translation>
    </message>
    <message>
        <source>确定要删除！</source>
        <translation>Delete these objects?</translation>
    </message>
    <message>
        <source>%1 等</source>
        <translation>%1 and more</translation>
    </message>
    <message>
        <source>读取完成！</source>
        <translation>Reading done!</translation>
    </message>
    <message>
        <source>未知错误</source>
        <translation>Unknown error</translation>
    </message>
    <message>
        <source> 新 建 </source>
        <translation>New</translation>
    </message>
    <message>
        <source> 打 开 </source>
        <translation>Open</translation>
    </message>
    <message>
        <source>提取选中</source>
        <translation>Extract</translation>
    </message>
    <message>
        <source>全部导出</source>
        <translation>Export all</translation>
    </message>
    <message>
        <source>另存</source>
        <translation>Save as</translation>
    </message>
    <message>
        <source>向上</source>
        <translation>Up</translation>
    </message>
    <message>
        <source>查看</source>
        <translation>View</translation>
    </message>
    <message>
        <source>路径：</source>
        <translation>Path:</translation>
    </message>
    <message>
        <source>镜像中没有这个路径：%1</source>
        <translation>The image has no such path: %1</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>缩略图</source>
        <translation>Thumbnails</translation>
    </message>
    <message>
        <source>图标</source>
        <translation>Icons</translation>
    </message>
    <message>
        <source>详细列表</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>提取选择</source>
        <translation>Extract selected</translation>
    </message>
    <message>
        <source>新建目录</source>
        <translation>New folder</translation>
    </message>
    <message>
        <source>添加文件</source>
        <translation>Add files</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>重命名</source>
        <translation>Rename</translation>
    </message>
    <message>
        <source>权限修改</source>
        <translation>Permissions</translation>
    </message>
    <message>
        <source>UID修改</source>
        <translation>Change UID</translation>
    </message>
    <message>
        <source>GID修改</source>
        <translation>Change GID</translation>
    </message>
    <message>
        <source>属性</source>
        <translation>Properties</translation>
    </message>
    <message>
        <source>名称</source>
        <translation>Name</translation>
    </message>
    <message>
        <source>权限</source>
        <translation>Permissions</translation>
    </message>
    <message>
        <source>类型</source>
        <translation>Type</translation>
    </message>
    <message>
        <source>大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>安全标签</source>
        <translation>Security label</translation>
    </message>
    <message>
        <source>IMG名称</source>
        <translation>Image</translation>
    </message>
    <message>
        <source>IMG大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>镜像文件:</source>
        <translation>Image file: </translation>
    </message>
    <message>
        <source>,镜像格式:</source>
        <translation>, format: </translation>
    </message>
    <message>
        <source>镜像文件: 新建</source>
        <translation>Image file: new</translation>
    </message>
    <message>
        <source>新建</source>
        <translation>New</translation>
    </message>
    <message>
        <source>未知</source>
        <translation>Unknown</translation>
    </message>
    <message>
        <source>类型：</source>
        <translation>Type: </translation>
    </message>
    <message>
        <source>, 大小：</source>
        <translation>, size: </translation>
    </message>
    <message>
        <source>, 详细：</source>
        <translation>, details: </translation>
    </message>
    <message>
        <source>请选择 YAFFS2 IMG（文件系统镜像）</source>
        <translation>Choose a filesystem image (YAFFS2, EXT)</translation>
    </message>
    <message>
        <source>文件提取</source>
        <translation>Extract to</translation>
    </message>
    <message>
        <source>文件系统镜像 另存</source>
        <translation>Save the filesystem image as</translation>
    </message>
    <message>
        <source>输入名称        </source>
        <translation>Name of the new folder:</translation>
    </message>
    <message>
        <source>输入名称         </source>
        <translation>New name:</translation>
    </message>
    <message>
        <source>输入权限代码 如 755 , 4755 等</source>
        <translation>Permission code, such as 755 or 4755:</translation>
    </message>
    <message>
        <source>输入UID</source>
        <translation>UID:</translation>
    </message>
    <message>
        <source>输入GID</source>
        <translation>GID:</translation>
    </message>
    <message>
        <source>添加文件 错误信息</source>
        <translation>Adding files: errors</translation>
    </message>
    <message>
        <source>文件提取 错误信息</source>
        <translation>Extraction: errors</translation>
    </message>
    <message>
        <source>镜像读取 警告信息</source>
        <translation>Reading the image: warnings</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>目录或文件已存在!      </source>
        <translation>A folder or file of that name exists!</translation>
    </message>
    <message>
        <source>输入有误！     </source>
        <translation>Invalid input!</translation>
    </message>
    <message>
        <source>名称中不能有“/”。</source>
        <translation>A name cannot hold &quot;/&quot;.</translation>
    </message>
    <message>
        <source>名称不能是“.”或“..”。</source>
        <translation>A name cannot be &quot;.&quot; or &quot;..&quot;.</translation>
    </message>
    <message>
        <source>名称中不能有空字符。</source>
        <translation>A name cannot hold a NUL character.</translation>
    </message>
    <message>
        <source>名称最长 255 字节，这个名称有 %1 字节。</source>
        <translation>A name has at most 255 bytes; this one has %1.</translation>
    </message>
    <message>
        <source>%1 是 0 到 4294967294 之间的整数。</source>
        <translation>A %1 is a whole number from 0 to 4294967294.</translation>
    </message>
    <message>
        <source>有重名！是否覆盖？！！</source>
        <translation>An object of that name exists! Overwrite it?</translation>
    </message>
    <message>
        <source>文件已存在！是否覆盖？</source>
        <translation>The file exists! Overwrite it?</translation>
    </message>
    <message>
        <source>覆盖</source>
        <translation>Overwrite</translation>
    </message>
    <message>
        <source>全覆盖</source>
        <translation>Overwrite all</translation>
    </message>
    <message>
        <source>否</source>
        <translation>No</translation>
    </message>
    <message>
        <source>全否</source>
        <translation>No to all</translation>
    </message>
    <message>
        <source>已保存为 %1</source>
        <translation>Saved as %1</translation>
    </message>
    <message>
        <source>保存已取消，没有写出文件。</source>
        <translation>Saving cancelled; no file was written.</translation>
    </message>
    <message>
        <source>YAFFS2 镜像</source>
        <translation>YAFFS2 image</translation>
    </message>
    <message>
        <source>YAFFS2 镜像(自定参数)</source>
        <translation>YAFFS2 image (custom settings)</translation>
    </message>
    <message>
        <source>EXT2 镜像</source>
        <translation>EXT2 image</translation>
    </message>
    <message>
        <source>EXT3 镜像</source>
        <translation>EXT3 image</translation>
    </message>
    <message>
        <source>EROFS 镜像</source>
        <translation>EROFS image</translation>
    </message>
    <message>
        <source>选择文件</source>
        <translation>Choose files</translation>
    </message>
    <message>
        <source>查找范围</source>
        <translation>Look in</translation>
    </message>
    <message>
        <source>桌面</source>
        <translation>Desktop</translation>
    </message>
    <message>
        <source>主目录</source>
        <translation>Home</translation>
    </message>
    <message>
        <source>我的文档</source>
        <translation>Documents</translation>
    </message>
    <message>
        <source>我的电脑</source>
        <translation>Computer</translation>
    </message>
    <message>
        <source>保留文件属性</source>
        <translation>Keep file attributes</translation>
    </message>
    <message>
        <source>保留每个文件的权限、所有者和时间；不选时权限为 0777，时间为现在</source>
        <translation>Keep each file&apos;s permissions, owner and times; unchecked, permissions are 0777 and times now</translation>
    </message>
    <message>
        <source>没有这个文件夹：%1</source>
        <translation>No such folder: %1</translation>
    </message>
    <message>
        <source>包含子项</source>
        <translation>Include what is below</translation>
    </message>
    <message>
        <source>常规</source>
        <translation>General</translation>
    </message>
    <message>
        <source>大小：</source>
        <translation>Size:</translation>
    </message>
    <message>
        <source>包含：</source>
        <translation>Contains:</translation>
    </message>
    <message>
        <source>UID：</source>
        <translation>UID:</translation>
    </message>
    <message>
        <source>GID：</source>
        <translation>GID:</translation>
    </message>
    <message>
        <source>详细：</source>
        <translation>Details:</translation>
    </message>
    <message>
        <source>扩展属性</source>
        <translation>Extended attributes</translation>
    </message>
    <message>
        <source>值</source>
        <translation>Value</translation>
    </message>
    <message>
        <source>这个对象没有扩展属性。</source>
        <translation>This object has no extended attributes.</translation>
    </message>
    <message>
        <source>SELinux 标签</source>
        <translation>SELinux label</translation>
    </message>
    <message>
        <source>文件能力</source>
        <translation>file capabilities</translation>
    </message>
    <message>
        <source>输入有误！%1</source>
        <translation>Invalid input! %1</translation>
    </message>
    <message>
        <source>导出为 tar 归档</source>
        <translation>Export as tar archive</translation>
    </message>
    <message>
        <source>tar 归档 (*.tar)</source>
        <translation>tar archive (*.tar)</translation>
    </message>
    <message>
        <source>EXT4 镜像</source>
        <translation>EXT4 image</translation>
    </message>
    <message>
        <source>打开方式</source>
        <translation>Open as</translation>
    </message>
    <message>
        <source>按此格式读取：</source>
        <translation>Read it as:</translation>
    </message>
    <message>
        <source> › </source>
        <translation> › </translation>
    </message>
    <message>
        <source>Android super 镜像</source>
        <translation>Android super image</translation>
    </message>
    <message>
        <source>Android 启动镜像</source>
        <translation>Android boot image</translation>
    </message>
    <message>
        <source>cpio 归档(ramdisk)</source>
        <translation>cpio archive (ramdisk)</translation>
    </message>
    <message>
        <source>JFFS2 镜像</source>
        <translation>JFFS2 image</translation>
    </message>
    <message>
        <source>YAFFS1 镜像</source>
        <translation>YAFFS1 image</translation>
    </message>
    <message>
        <source>SquashFS 镜像</source>
        <translation>SquashFS image</translation>
    </message>
    <message numerus="yes">
        <source>将删除 %n 项：%1</source>
        <translation>
            <numerusform>%n object will be deleted: %1</numerusform>
            <numerusform>%n objects will be deleted: %1</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>读取完成！（%n 条警告）</source>
        <translation>
            <numerusform>Reading done, with %n warning!</numerusform>
            <numerusform>Reading done, with %n warnings!</numerusform>
        </translation>
    </message>
    <message>
        <source>撤销</source>
        <translation>Undo</translation>
    </message>
    <message>
        <source>重做</source>
        <translation>Redo</translation>
    </message>
    <message>
        <source>镜像信息</source>
        <translation>Image info</translation>
    </message>
    <message>
        <source>与…比较</source>
        <translation>Compare with…</translation>
    </message>
    <message>
        <source>（没有最近打开的镜像）</source>
        <translation>(no recent images)</translation>
    </message>
    <message>
        <source>筛选（Ctrl+F）</source>
        <translation>Filter (Ctrl+F)</translation>
    </message>
    <message>
        <source>输入名称的一部分，或带 * 和 ? 的模式，只显示这个目录中名称相符的项；按回车在整个镜像中查找</source>
        <translation>Type a part of a name, or a pattern with * and ?, to show only the matching objects of this folder; press Enter to search the whole image</translation>
    </message>
    <message>
        <source>在整个镜像中查找</source>
        <translation>Search the whole image</translation>
    </message>
    <message>
        <source>区分大小写</source>
        <translation>Match case</translation>
    </message>
    <message>
        <source>位置</source>
        <translation>Location</translation>
    </message>
    <message numerus="yes">
        <source>在整个镜像中查找“%1”：%n 项</source>
        <translation>
            <numerusform>Whole image, “%1”: %n object</numerusform>
            <numerusform>Whole image, “%1”: %n objects</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>已选中 %n 项，其中文件共 %1</source>
        <translation>
            <numerusform>%n selected, files %1 in all</numerusform>
            <numerusform>%n selected, files %1 in all</numerusform>
        </translation>
    </message>
    <message>
        <source>链接的目标不在镜像中：%1</source>
        <translation>The link’s target is not in the image: %1</translation>
    </message>
    <message>
        <source>镜像中没有名称与“%1”相符的对象。</source>
        <translation>No object in the image has a name matching “%1”.</translation>
    </message>
    <message>
        <source>其它应用程序…</source>
        <translation>Other application…</translation>
    </message>
    <message>
        <source>转到链接目标</source>
        <translation>Go to link target</translation>
    </message>
    <message>
        <source>修改时间</source>
        <translation>Modified</translation>
    </message>
    <message numerus="yes">
        <source>%1 字节</source>
        <translation>
            <numerusform>%1 byte</numerusform>
            <numerusform>%1 bytes</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>读取镜像时有 %n 条警告，读不出的对象没有列出：</source>
        <translation>
            <numerusform>Reading the image gave %n warning; objects that could not be read are not listed:</numerusform>
            <numerusform>Reading the image gave %n warnings; objects that could not be read are not listed:</numerusform>
        </translation>
    </message>
    <message>
        <source>权限代码是 1 到 4 位 0 到 7 的数字，如 755、4755、0000。</source>
        <translation>A permission code is 1 to 4 digits from 0 to 7, such as 755, 4755 or 0000.</translation>
    </message>
    <message numerus="yes">
        <source>提取完成：写出 %n 项。</source>
        <translation>
            <numerusform>Extraction done: %n object written.</numerusform>
            <numerusform>Extraction done: %n objects written.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>提取已取消，提前停止：只写出了 %n 项。</source>
        <translation>
            <numerusform>Extraction cancelled, it stopped early: only %n object was written.</numerusform>
            <numerusform>Extraction cancelled, it stopped early: only %n objects were written.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>覆盖了 %n 个已有的文件。</source>
        <translation>
            <numerusform>%n existing file was overwritten.</numerusform>
            <numerusform>%n existing files were overwritten.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>保留了 %n 个已有的文件，没有写出。</source>
        <translation>
            <numerusform>%n existing file was kept and not written.</numerusform>
            <numerusform>%n existing files were kept and not written.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n 项没能写出，见列表。</source>
        <translation>
            <numerusform>%n object could not be written; see the list.</numerusform>
            <numerusform>%n objects could not be written; see the list.</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>tar 归档已写出：%1，包含 %n 项。</source>
        <translation>
            <numerusform>Tar archive written: %1, with %n object.</numerusform>
            <numerusform>Tar archive written: %1, with %n objects.</numerusform>
        </translation>
    </message>
    <message>
        <source>导出已取消，提前停止：没有写出归档。</source>
        <translation>Export cancelled, it stopped early: no archive was written.</translation>
    </message>
    <message numerus="yes">
        <source>%n 项 tar 归档存不下，没有写入，见列表。</source>
        <translation>
            <numerusform>%n object cannot be stored in a tar archive and was left out; see the list.</numerusform>
            <numerusform>%n objects cannot be stored in a tar archive and were left out; see the list.</numerusform>
        </translation>
    </message>
    <message>
        <source>保存设置</source>
        <translation>Save settings</translation>
    </message>
    <message>
        <source>保存为：</source>
        <translation>Save as:</translation>
    </message>
    <message>
        <source>yaffs2自带ECC</source>
        <translation>YAFFS2’s own ECC</translation>
    </message>
    <message>
        <source>NAND FLASH ECC</source>
        <translation>NAND flash ECC</translation>
    </message>
    <message>
        <source>不写数据 ECC</source>
        <translation>No data ECC</translation>
    </message>
    <message>
        <source>设置 OOB头（FF FF）擦除标志</source>
        <translation>Set the OOB erase marker (FF FF)</translation>
    </message>
    <message>
        <source>没有</source>
        <translation>No</translation>
    </message>
    <message>
        <source>有</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>NAND 布局</source>
        <translation>NAND layout</translation>
    </message>
    <message>
        <source>（自定）</source>
        <translation>(custom)</translation>
    </message>
    <message>
        <source>常用布局：</source>
        <translation>Common layouts:</translation>
    </message>
    <message>
        <source>页大小：</source>
        <translation>Page size:</translation>
    </message>
    <message>
        <source>备用区（OOB）大小：</source>
        <translation>Spare (OOB) size:</translation>
    </message>
    <message>
        <source> 字节</source>
        <translation> bytes</translation>
    </message>
    <message>
        <source>标签在页内（inband）</source>
        <translation>Tags in the page (inband)</translation>
    </message>
    <message>
        <source>标签在备用区的偏移：</source>
        <translation>Tags at spare offset:</translation>
    </message>
    <message>
        <source>标签带 ECC</source>
        <translation>Tags with ECC</translation>
    </message>
    <message>
        <source>字节序：</source>
        <translation>Byte order:</translation>
    </message>
    <message>
        <source>小端（little-endian）</source>
        <translation>Little-endian</translation>
    </message>
    <message>
        <source>大端（big-endian）</source>
        <translation>Big-endian</translation>
    </message>
    <message>
        <source>数据 ECC（%1 字节）在备用区放不下。</source>
        <translation>The data ECC (%1 bytes) does not fit in the spare area.</translation>
    </message>
    <message>
        <source>标签放不下：备用区太小，或偏移太大。</source>
        <translation>The tags do not fit: the spare area is too small or the offset too large.</translation>
    </message>
    <message>
        <source>EXT 镜像</source>
        <translation>EXT image</translation>
    </message>
    <message>
        <source>Android sparse 格式</source>
        <translation>Android sparse format</translation>
    </message>
    <message>
        <source>与源镜像相同（块大小、inode、大小、卷标、UUID）</source>
        <translation>Like the source image (block size, inodes, size, label, UUID)</translation>
    </message>
    <message>
        <source>与源镜像相同</source>
        <translation>Like the source image</translation>
    </message>
    <message>
        <source>，页内标签</source>
        <translation>, inband tags</translation>
    </message>
    <message>
        <source>，FF FF 擦除标志</source>
        <translation>, FF FF erase marker</translation>
    </message>
    <message>
        <source>，标签在偏移 %1</source>
        <translation>, tags at offset %1</translation>
    </message>
    <message>
        <source>，标签无 ECC</source>
        <translation>, tags without ECC</translation>
    </message>
    <message>
        <source>，大端</source>
        <translation>, big-endian</translation>
    </message>
    <message>
        <source>，</source>
        <translation>, </translation>
    </message>
    <message>
        <source>（默认）</source>
        <translation>(default)</translation>
    </message>
    <message>
        <source>压缩：</source>
        <translation>Compression:</translation>
    </message>
    <message>
        <source>压缩算法：</source>
        <translation>Compressor:</translation>
    </message>
    <message>
        <source>压缩级别：</source>
        <translation>Compression level:</translation>
    </message>
    <message>
        <source>UUID：</source>
        <translation>UUID:</translation>
    </message>
    <message>
        <source>卷标：</source>
        <translation>Label:</translation>
    </message>
    <message>
        <source>时间戳（Unix 秒）：</source>
        <translation>Timestamp (Unix seconds):</translation>
    </message>
    <message>
        <source>块大小：</source>
        <translation>Block size:</translation>
    </message>
    <message>
        <source>inode 大小：</source>
        <translation>Inode size:</translation>
    </message>
    <message>
        <source>inode 数：</source>
        <translation>Inodes:</translation>
    </message>
    <message>
        <source>镜像大小：</source>
        <translation>Image size:</translation>
    </message>
    <message>
        <source>擦除块大小：</source>
        <translation>Erase block size:</translation>
    </message>
    <message>
        <source>填充到：</source>
        <translation>Pad to:</translation>
    </message>
    <message>
        <source>%1 是打开的镜像文件，读取时有警告。覆盖它会把读不出的部分永久换成零。仍要覆盖吗？</source>
        <translation>%1 is the image file opened, and reading it gave warnings. Overwriting it turns what could not be read into zeros for good. Overwrite it anyway?</translation>
    </message>
    <message>
        <source>查看 - %1</source>
        <translation>View - %1</translation>
    </message>
    <message>
        <source>显示为：</source>
        <translation>Show as:</translation>
    </message>
    <message>
        <source>文本</source>
        <translation>Text</translation>
    </message>
    <message>
        <source>十六进制</source>
        <translation>Hex</translation>
    </message>
    <message>
        <source>图片</source>
        <translation>Picture</translation>
    </message>
    <message>
        <source>编码：</source>
        <translation>Encoding:</translation>
    </message>
    <message>
        <source>转到偏移：</source>
        <translation>Go to offset:</translation>
    </message>
    <message>
        <source>查找：</source>
        <translation>Find:</translation>
    </message>
    <message>
        <source>十六进制字节</source>
        <translation>Hex bytes</translation>
    </message>
    <message>
        <source>查找下一个</source>
        <translation>Find next</translation>
    </message>
    <message>
        <source>正在查找…</source>
        <translation>Searching…</translation>
    </message>
    <message>
        <source>没有找到“%1”。</source>
        <translation>“%1” was not found.</translation>
    </message>
    <message>
        <source>十六进制字节要两位一个，如 DE AD BE EF。</source>
        <translation>Hex bytes are two digits each, such as DE AD BE EF.</translation>
    </message>
    <message>
        <source>偏移有误：%1（文件共 %2 字节；偏移可写十进制，或以 0x 开头的十六进制）</source>
        <translation>Wrong offset: %1 (the file has %2 bytes; write the offset in decimal, or in hex after 0x)</translation>
    </message>
    <message>
        <source>，位置：0x%1（%2）</source>
        <translation>, offset: 0x%1 (%2)</translation>
    </message>
    <message>
        <source>图片超过 5000 万像素，不显示。</source>
        <translation>The picture has more than 50 million pixels and is not shown.</translation>
    </message>
    <message>
        <source>图片已损坏，读不出来。</source>
        <translation>The picture is damaged and cannot be read.</translation>
    </message>
    <message>
        <source>没有能打开这个文件的应用程序：%1</source>
        <translation>No application can open this file: %1</translation>
    </message>
    <message>
        <source>不能建立放副本的临时文件夹：%1</source>
        <translation>Cannot make the temporary folder for copies: %1</translation>
    </message>
    <message>
        <source>项目</source>
        <translation>Item</translation>
    </message>
    <message>
        <source>镜像</source>
        <translation>Image</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>识别</source>
        <translation>Recognised as</translation>
    </message>
    <message>
        <source>存储方式</source>
        <translation>Storage</translation>
    </message>
    <message>
        <source>读取格式</source>
        <translation>Read as</translation>
    </message>
    <message>
        <source>也可能是</source>
        <translation>Could also be</translation>
    </message>
    <message>
        <source>%1（把握 %2）：%3</source>
        <translation>%1 (confidence %2): %3</translation>
    </message>
    <message>
        <source>格式信息</source>
        <translation>Format details</translation>
    </message>
    <message numerus="yes">
        <source>读取警告（%n 条）</source>
        <translation>
            <numerusform>Reading warnings (%n)</numerusform>
            <numerusform>Reading warnings (%n)</numerusform>
        </translation>
    </message>
    <message>
        <source>成员：%1</source>
        <translation>Member: %1</translation>
    </message>
    <message>
        <source>内容</source>
        <translation>Contents</translation>
    </message>
    <message>
        <source>空</source>
        <translation>Empty</translation>
    </message>
    <message>
        <source>Korvane 不认识的内容</source>
        <translation>Contents Korvane does not know</translation>
    </message>
    <message>
        <source>比较 %1 与 %2</source>
        <translation>Compare %1 with %2</translation>
    </message>
    <message>
        <source>与什么比较：</source>
        <translation>Compare with:</translation>
    </message>
    <message>
        <source>另一个镜像文件…</source>
        <translation>Another image file…</translation>
    </message>
    <message>
        <source>磁盘上的文件夹…</source>
        <translation>A folder on disk…</translation>
    </message>
    <message>
        <source>选择要比较的文件夹</source>
        <translation>Choose the folder to compare with</translation>
    </message>
    <message>
        <source>%1 与 %2：新增 %3 项，删除 %4 项，修改 %5 项。</source>
        <translation>%1 and %2: %3 added, %4 removed, %5 changed.</translation>
    </message>
    <message>
        <source>%1 与 %2 相同（比较了 %3 项）。</source>
        <translation>%1 and %2 are the same (%3 objects compared).</translation>
    </message>
    <message>
        <source>只显示差异</source>
        <translation>Only differences</translation>
    </message>
    <message>
        <source>差异</source>
        <translation>Difference</translation>
    </message>
    <message>
        <source>不同之处</source>
        <translation>What differs</translation>
    </message>
    <message>
        <source>新增</source>
        <translation>Added</translation>
    </message>
    <message>
        <source>修改</source>
        <translation>Changed</translation>
    </message>
    <message>
        <source>所有者</source>
        <translation>Owner</translation>
    </message>
    <message>
        <source>链接目标</source>
        <translation>Link target</translation>
    </message>
    <message>
        <source>设备号</source>
        <translation>Device number</translation>
    </message>
    <message numerus="yes">
        <source>已选取 %n 项</source>
        <translation>
            <numerusform>%n selected</numerusform>
            <numerusform>%n selected</numerusform>
        </translation>
    </message>
    <message>
        <source>修改时间：</source>
        <translation>Modified:</translation>
    </message>
    <message numerus="yes">
        <source>%n 项（下面共 %1 项）</source>
        <translation>
            <numerusform>%n item (%1 in all below it)</numerusform>
            <numerusform>%n items (%1 in all below it)</numerusform>
        </translation>
    </message>
    <message>
        <source>校验和：</source>
        <translation>Checksums:</translation>
    </message>
    <message>
        <source>计算 SHA-256 和 MD5</source>
        <translation>Compute SHA-256 and MD5</translation>
    </message>
    <message>
        <source>正在计算… %1%</source>
        <translation>Computing… %1%</translation>
    </message>
    <message>
        <source>删除</source>
        <comment>compare</comment>
        <translation>Removed</translation>
    </message>
    <message>
        <source>擦除块开头不写 cleanmarker</source>
        <translation>No cleanmarker at the start of each erase block</translation>
    </message>
    <message>
        <source>压缩线程数：</source>
        <translation>Compressing threads:</translation>
    </message>
    <message>
        <source>ramdisk 压缩：</source>
        <translation>Ramdisk compression:</translation>
    </message>
    <message>
        <source>保留分区大小、vbmeta 和 AVB 尾部</source>
        <translation>Keep the partition size, vbmeta and AVB footer</translation>
    </message>
    <message>
        <source>写成普通镜像，即使源镜像是 sparse 格式</source>
        <translation>A plain image, even when the source is sparse</translation>
    </message>
</context>
</TS>
