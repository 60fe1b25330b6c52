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
    <name>FragmentModel</name>
    <message>
        <source>下载 | 播放</source>
        <translation>Get | Play</translation>
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
    <name>test</name>
    <message>
        <source>Form</source>
        <translation>Form</translation>
    </message>
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
        <source>00:00:00/00:00:00</source>
        <translation>00:00:00/00:00:00</translation>
    </message>
    <message>
        <source>15s</source>
        <translation>15s</translation>
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
</context>
</TS>
