<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>CardScan</name>
    <message>
        <source>无读取权限</source>
        <translation>no right to read</translation>
    </message>
    <message>
        <source>裸盘格式</source>
        <translation>raw-disk layout</translation>
    </message>
    <message>
        <source>文件格式</source>
        <translation>file layout</translation>
    </message>
    <message>
        <source>%1 路</source>
        <translation>%1 ch</translation>
    </message>
    <message>
        <source>%1
挂载于 %2</source>
        <translation>%1
mounted at %2</translation>
    </message>
    <message>
        <source>读取 %1 的请求被拒绝。</source>
        <translation>Reading %1 was refused. </translation>
    </message>
    <message>
        <source>没有读取 %1 的权限。</source>
        <translation>You may not read %1. </translation>
    </message>
    <message>
        <source>请将当前用户加入 %1 组（sudo usermod -aG %1 $USER），然后重新登录。</source>
        <translation>Join the group %1 (sudo usermod -aG %1 $USER), then log in again.</translation>
    </message>
    <message>
        <source>请以 root 身份运行。</source>
        <translation>Run the player as root.</translation>
    </message>
    <message>
        <source>%1 不是录像卡。</source>
        <translation>%1 holds no recorder card.</translation>
    </message>
    <message>
        <source>无法打开 %1：卡上的数据无法读取。</source>
        <translation>Cannot open %1: the card&apos;s data cannot be read.</translation>
    </message>
</context>
<context>
    <name>CloseGuard</name>
    <message>
        <source>下载进行中</source>
        <translation>Exports under way</translation>
    </message>
    <message>
        <source>还有下载未完成。等待下载完成后关闭, 还是取消下载并立即关闭?</source>
        <translation>Some exports have not finished. Wait for them and close then, or cancel them and close now?</translation>
    </message>
    <message>
        <source>等待完成</source>
        <translation>Wait</translation>
    </message>
    <message>
        <source>取消下载</source>
        <translation>Cancel the exports</translation>
    </message>
    <message>
        <source> (等待下载完成后关闭)</source>
        <translation> (closing when the exports end)</translation>
    </message>
</context>
<context>
    <name>FragmentModel</name>
    <message>
        <source>下载 | 播放</source>
        <translation>Get | Play</translation>
    </message>
</context>
<context>
    <name>PlayPosition</name>
    <message>
        <source>当前帧: %1</source>
        <translation>Frame: %1</translation>
    </message>
</context>
<context>
    <name>Shortcuts</name>
    <message>
        <source>空格</source>
        <translation>Space</translation>
    </message>
    <message>
        <source>播放 / 暂停</source>
        <translation>Play / pause</translation>
    </message>
    <message>
        <source>后退 15 秒</source>
        <translation>15 s back</translation>
    </message>
    <message>
        <source>前进 15 秒</source>
        <translation>15 s forward</translation>
    </message>
    <message>
        <source>上一帧</source>
        <translation>One frame back</translation>
    </message>
    <message>
        <source>下一帧</source>
        <translation>One frame forward</translation>
    </message>
    <message>
        <source>上一个片段</source>
        <translation>Previous recording</translation>
    </message>
    <message>
        <source>下一个片段</source>
        <translation>Next recording</translation>
    </message>
    <message>
        <source>回到片段开头</source>
        <translation>Back to the start of the recording</translation>
    </message>
    <message>
        <source>加快播放</source>
        <translation>Faster</translation>
    </message>
    <message>
        <source>减慢播放</source>
        <translation>Slower</translation>
    </message>
    <message>
        <source>鼠标所在画面全屏 / 还原</source>
        <translation>The picture under the mouse full screen / back</translation>
    </message>
    <message>
        <source>退出全屏</source>
        <translation>Leave full screen</translation>
    </message>
    <message>
        <source>静音 / 取消静音</source>
        <translation>Sound off / on</translation>
    </message>
    <message>
        <source>保存鼠标所在画面的截图</source>
        <translation>Save a still of the picture under the mouse</translation>
    </message>
    <message>
        <source>快捷键列表</source>
        <translation>This list of keys</translation>
    </message>
</context>
<context>
    <name>Startup</name>
    <message>
        <source>无法打开 %1：%2</source>
        <translation>Cannot open %1: %2</translation>
    </message>
    <message>
        <source>不是存储卡的映像、块设备或目录</source>
        <translation>not a card image, block device or directory</translation>
    </message>
    <message>
        <source>没有这个文件或目录</source>
        <translation>no such file or directory</translation>
    </message>
</context>
<context>
    <name>VideoPanes</name>
    <message>
        <source>画面中还没有图像</source>
        <translation>the pane shows no picture yet</translation>
    </message>
    <message>
        <source>无法创建目录 %1</source>
        <translation>cannot make the folder %1</translation>
    </message>
</context>
<context>
    <name>download</name>
    <message>
        <source> 等待下载</source>
        <translation> Waiting</translation>
    </message>
    <message>
        <source> 下载中</source>
        <translation> Exporting</translation>
    </message>
    <message>
        <source> 下载成功</source>
        <translation> Done</translation>
    </message>
    <message>
        <source> 下载不完整</source>
        <translation> Incomplete</translation>
    </message>
    <message>
        <source> 下载失败</source>
        <translation> Failed</translation>
    </message>
    <message>
        <source> 已取消</source>
        <translation> Cancelled</translation>
    </message>
    <message>
        <source>该通道在此时段没有录像</source>
        <translation>this channel has no recording in this span</translation>
    </message>
    <message>
        <source>无法写入下载目录 (%1)</source>
        <translation>cannot write into the export folder (%1)</translation>
    </message>
    <message>
        <source>录像的参数集无法读取 (%1)</source>
        <translation>the recording&apos;s parameter sets cannot be read (%1)</translation>
    </message>
    <message>
        <source>无法给文件命名 (%1)</source>
        <translation>cannot name the file (%1)</translation>
    </message>
    <message>
        <source>磁盘已满 (%1)</source>
        <translation>the disk is full (%1)</translation>
    </message>
    <message>
        <source>写入文件失败 (%1)</source>
        <translation>writing the file failed (%1)</translation>
    </message>
    <message>
        <source>时段无效</source>
        <translation>not a valid span</translation>
    </message>
    <message>
        <source>磁盘已更换, 此时段属于之前打开的磁盘</source>
        <translation>the card was changed; this span belongs to the card open before</translation>
    </message>
    <message>
        <source>下载目录在卡内, 卡不可写入</source>
        <translation>the export folder is on the card, which is never written</translation>
    </message>
    <message>
        <source>读卡错误于 %1, 文件含此前读出的部分</source>
        <translation>the card could not be read at %1; the file holds what was read before</translation>
    </message>
    <message>
        <source>数据损坏于 %1, 文件含此前读出的部分</source>
        <translation>damaged data at %1; the file holds what was read before</translation>
    </message>
    <message>
        <source> (卡上数据止于 %1)</source>
        <translation> (the card&apos;s data ends at %1)</translation>
    </message>
</context>
<context>
    <name>downloadInfo</name>
    <message>
        <source>下载信息</source>
        <translation>Exports</translation>
    </message>
    <message>
        <source>下载目录:</source>
        <translation>Export folder:</translation>
    </message>
    <message>
        <source>更改</source>
        <translation>Change</translation>
    </message>
    <message>
        <source>时间轴:</source>
        <translation>Timing:</translation>
    </message>
    <message>
        <source>按卡上的时间 (与录像同速)</source>
        <translation>The card&apos;s time stamps (as recorded)</translation>
    </message>
    <message>
        <source>固定步长 (每帧 83 毫秒)</source>
        <translation>Fixed steps (83 ms a frame)</translation>
    </message>
    <message>
        <source>取消下载</source>
        <translation>Cancel the export</translation>
    </message>
    <message>
        <source>打开所在文件夹</source>
        <translation>Open its folder</translation>
    </message>
    <message>
        <source>下载路径:%1</source>
        <translation>Folder: %1</translation>
    </message>
    <message>
        <source>选择下载目录</source>
        <translation>Choose the export folder</translation>
    </message>
    <message>
        <source>所选目录在卡内: 卡不可写入, 请选择卡以外的目录 (%1)</source>
        <translation>The folder is on the card, which is never written: choose one outside the card (%1)</translation>
    </message>
</context>
<context>
    <name>test</name>
    <message>
        <source>选择音频设备:</source>
        <translation>Audio device:</translation>
    </message>
    <message>
        <source>选择磁盘:</source>
        <translation>Card:</translation>
    </message>
    <message>
        <source>下 载</source>
        <translation>List</translation>
    </message>
    <message>
        <source>逐帧</source>
        <translation>Step</translation>
    </message>
    <message>
        <source>倍速</source>
        <translation>Speed</translation>
    </message>
    <message>
        <source>视频播放器</source>
        <translation>Video player</translation>
    </message>
    <message>
        <source>存储卡已移除，播放已停止。</source>
        <translation>The card was taken out; play stopped.</translation>
    </message>
    <message>
        <source>存储卡已移除。</source>
        <translation>The card was taken out.</translation>
    </message>
    <message>
        <source>读取中…</source>
        <translation>Reading…</translation>
    </message>
    <message>
        <source>即将下载</source>
        <translation>Queued</translation>
    </message>
    <message>
        <source>即将播放</source>
        <translation>Playing</translation>
    </message>
    <message>
        <source>上一帧</source>
        <translation>Step back</translation>
    </message>
    <message>
        <source>静音</source>
        <translation>Mute</translation>
    </message>
    <message>
        <source>截图</source>
        <translation>Still</translation>
    </message>
    <message>
        <source>当前下载路径: %1</source>
        <translation>Export folder: %1</translation>
    </message>
    <message>
        <source>截图已保存: %1</source>
        <translation>Still saved: %1</translation>
    </message>
    <message>
        <source>截图失败: %1</source>
        <translation>No still: %1</translation>
    </message>
    <message>
        <source>快捷键</source>
        <translation>Keys</translation>
    </message>
</context>
</TS>
