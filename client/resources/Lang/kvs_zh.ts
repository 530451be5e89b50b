<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN" sourcelanguage="en_US">
<context>
    <name>AlarmWindow</name>
    <message>
        <source>Snapshot</source>
        <translation>抓拍</translation>
    </message>
    <message>
        <source>Record</source>
        <translation>录像</translation>
    </message>
    <message>
        <source>Temperature:</source>
        <translation>温度：</translation>
    </message>
    <message>
        <source>Snapshot succeed!</source>
        <translation>抓拍成功！</translation>
    </message>
    <message>
        <source>Snapshot failed!</source>
        <translation>抓拍失败！</translation>
    </message>
    <message>
        <source>DiskFreeSpace Not Enough</source>
        <translation>磁盘剩余空间不足</translation>
    </message>
    <message>
        <source>Recording Start!</source>
        <translation>开始录像！</translation>
    </message>
    <message>
        <source>Recording finished!</source>
        <translation>录像结束！</translation>
    </message>
    <message>
        <source>Recording failed!</source>
        <translation>录像失败！</translation>
    </message>
</context>
<context>
    <name>DlgAbout</name>
    <message>
        <source>DlgAbout</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>Version</source>
        <translation>版本</translation>
    </message>
    <message>
        <source>Calorview Version </source>
        <translation>Calorview 版本 </translation>
    </message>
</context>
<context>
    <name>ImageView</name>
    <message>
        <source>Keep</source>
        <translation>保留</translation>
    </message>
    <message>
        <source>Kept</source>
        <translation>已保留</translation>
    </message>
    <message>
        <source>A kept alarm episode is never deleted to free disk space</source>
        <translation>标记保留的报警事件不会因释放磁盘空间而被删除</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Velmora Thermal Camera Client</source>
        <translation>Velmora 热成像相机客户端</translation>
    </message>
    <message>
        <source>Live</source>
        <translation>实时</translation>
    </message>
    <message>
        <source>Setting</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>Open alarm log</source>
        <translation>打开报警日志</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>帮助</translation>
    </message>
    <message>
        <source>About</source>
        <translation>关于</translation>
    </message>
    <message>
        <source>Operation Manual.pdf</source>
        <translatorcomment>The manual ships under this one file name; a different name here would make Help report it missing.</translatorcomment>
        <translation>Operation Manual.pdf</translation>
    </message>
    <message>
        <source>Attention</source>
        <translation>提示</translation>
    </message>
    <message>
        <source>Manual not found</source>
        <translation>未找到操作手册</translation>
    </message>
    <message>
        <source>Alarm log not found</source>
        <translation>未找到报警日志</translation>
    </message>
    <message>
        <source>Invalid path: </source>
        <translation>无效路径：</translation>
    </message>
    <message>
        <source>No application found to open this file.</source>
        <translation>未找到可打开此文件的应用程序。</translation>
    </message>
    <message>
        <source>Unknown error</source>
        <translation>未知错误</translation>
    </message>
</context>
<context>
    <name>OSDWindow</name>
    <message>
        <source>Recording</source>
        <translation>录像中</translation>
    </message>
</context>
<context>
    <name>SettingWindow</name>
    <message>
        <source>SettingWindow</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>High Temp Alarm</source>
        <translation>高温报警</translation>
    </message>
    <message>
        <source>Audible alarm</source>
        <translation>声音报警</translation>
    </message>
    <message>
        <source>Loops</source>
        <translation>播放次数</translation>
    </message>
    <message>
        <source>Audio file</source>
        <translation>音频文件</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>浏览</translation>
    </message>
    <message>
        <source>Alarm Recode</source>
        <translation>报警录像</translation>
    </message>
    <message>
        <source>Alarm Snapshot</source>
        <translation>报警抓拍</translation>
    </message>
    <message>
        <source>Pre-alarm seconds</source>
        <translation>预录秒数</translation>
    </message>
    <message>
        <source>Snapshots per second (0 = every alarm)</source>
        <translation>每秒抓拍上限（0 = 每次报警都抓拍）</translation>
    </message>
    <message>
        <source>Alarm Setting</source>
        <translation>报警设置</translation>
    </message>
    <message>
        <source>Manual Record path</source>
        <translation>手动录像路径</translation>
    </message>
    <message>
        <source>Manual Snapshot path</source>
        <translation>手动抓拍路径</translation>
    </message>
    <message>
        <source>Record type</source>
        <translation>录像格式</translation>
    </message>
    <message>
        <source>Alarm Record path</source>
        <translation>报警录像路径</translation>
    </message>
    <message>
        <source>Alarm Snapshot path</source>
        <translation>报警抓拍路径</translation>
    </message>
    <message>
        <source>Video Setting</source>
        <translation>视频设置</translation>
    </message>
    <message>
        <source>Storage</source>
        <translation>存储设置</translation>
    </message>
    <message>
        <source>Free space floor (GiB, 0 = off)</source>
        <translation>剩余空间下限（GiB，0 = 关闭）</translation>
    </message>
    <message>
        <source>Delete alarm episodes after (days, 0 = never)</source>
        <translation>报警事件保存天数（0 = 不删除）</translation>
    </message>
    <message>
        <source>Delete manual recordings and snapshots after (days, 0 = never)</source>
        <translation>手动录像和抓拍保存天数（0 = 不删除）</translation>
    </message>
    <message>
        <source>Below the floor, the oldest alarm episodes go first; kept ones and the last 24 hours stay.</source>
        <translation>剩余空间低于下限时，先删除最早的报警事件；标记保留的事件和最近 24 小时的事件不删除。</translation>
    </message>
    <message>
        <source>Setting changed!</source>
        <translation>设置已更改！</translation>
    </message>
    <message>
        <source>Path too long Setting Fail</source>
        <translation>路径过长，设置失败</translation>
    </message>
    <message>
        <source>mp4</source>
        <translatorcomment>A container format name: it stays as it is.</translatorcomment>
        <translation>mp4</translation>
    </message>
    <message>
        <source>pvf</source>
        <translatorcomment>A container format name: it stays as it is.</translatorcomment>
        <translation>pvf</translation>
    </message>
    <message>
        <source>wave file (*.wav)</source>
        <translation>WAV 音频文件 (*.wav)</translation>
    </message>
</context>
<context>
    <name>StorageKeeper</name>
    <message>
        <source>Removed %1 old alarm episodes (%2 GB) to keep %3 GB free</source>
        <translation>已删除 %1 个旧报警事件（%2 GB），以保持 %3 GB 剩余空间</translation>
    </message>
    <message>
        <source>Removed %1 alarm episodes older than %2 days</source>
        <translation>已删除 %1 个超过 %2 天的报警事件</translation>
    </message>
    <message>
        <source>Removed %1 recordings and snapshots older than %2 days</source>
        <translation>已删除 %1 个超过 %2 天的录像和抓拍</translation>
    </message>
    <message>
        <source>Under %1 GB free; only kept or recent alarms are left</source>
        <translation>剩余空间不足 %1 GB，只剩保留或最近的报警</translation>
    </message>
    <message>
        <source>One alarm episode wrote %1 GB, more than the floor</source>
        <translation>单个报警事件已写入 %1 GB，超过剩余空间下限</translation>
    </message>
</context>
</TS>
