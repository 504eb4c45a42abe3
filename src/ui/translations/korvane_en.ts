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
        <source>将删除 %1 项：%2</source>
        <translation>%1 objects will be deleted: %2</translation>
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
        <source>读取完成！（%1 条警告）</source>
        <translation>Reading done, with %1 warnings!</translation>
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
        <source>读取镜像时有 %1 条警告，读不出的对象没有列出：</source>
        <translation>Reading the image gave %1 warnings; objects that could not be read are not listed:</translation>
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
        <source>权限代码是 1 到 4 位 0 到 7 的数字，如 755、4755，且不能是 0。</source>
        <translation>A permission code is 1 to 4 digits from 0 to 7, such as 755 or 4755, and not 0.</translation>
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
        <source>提取完成：写出 %1 项。</source>
        <translation>Extraction done: %1 objects written.</translation>
    </message>
    <message>
        <source>提取已取消，提前停止：只写出了 %1 项。</source>
        <translation>Extraction cancelled, it stopped early: only %1 objects were written.</translation>
    </message>
    <message>
        <source>覆盖了 %1 个已有的文件。</source>
        <translation>%1 existing files were overwritten.</translation>
    </message>
    <message>
        <source>保留了 %1 个已有的文件，没有写出。</source>
        <translation>%1 existing files were kept and not written.</translation>
    </message>
    <message>
        <source>%1 项没能写出，见列表。</source>
        <translation>%1 objects could not be written; see the list.</translation>
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
        <source>已选取 %1 项</source>
        <translation>%1 selected</translation>
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
        <source>创建时间：</source>
        <translation>Modified:</translation>
    </message>
    <message>
        <source>包含：</source>
        <translation>Contains:</translation>
    </message>
    <message>
        <source>%1 项（下面共 %2 项）</source>
        <translation>%1 items (%2 in all below it)</translation>
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
</context>
</TS>
