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
    <name>CalorviewMain</name>
    <message>
        <source>Calorview cannot make or use its folders: %1.
The live picture works; the files that belong in them cannot be saved.</source>
        <translation>Calorview 无法创建或使用其文件夹：%1。
实时画面正常；应存放在其中的文件无法保存。</translation>
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
    <message>
        <source>Settings: %1
Data: %2</source>
        <translation>设置：%1
数据：%2</translation>
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
    <message>
        <source>History</source>
        <translation>历史</translation>
    </message>
    <message>
        <source>History (%1)</source>
        <translation>历史 (%1)</translation>
    </message>
    <message>
        <source>Alarm episodes of the last 7 days not reviewed yet: %1</source>
        <translation>最近 7 天尚未查看的报警事件：%1</translation>
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
    <name>StreamWatch</name>
    <message>
        <source>No picture since %1</source>
        <translation>自 %1 起无画面</translation>
    </message>
    <message>
        <source>Camera disconnected at %1</source>
        <translation>摄像头已于 %1 断开</translation>
    </message>
</context>
<context>
    <name>SettingWindow</name>
    <message>
        <source>Start when I log in</source>
        <translation>登录时启动</translation>
    </message>
    <message>
        <source>Setting failed!</source>
        <translation>设置失败！</translation>
    </message>
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
    <name>StationEventsGroup</name>
    <message>
        <source>Station events</source>
        <translation>站点事件</translation>
    </message>
    <message>
        <source>Publish events</source>
        <translation>发布事件</translation>
    </message>
    <message>
        <source>Broker host</source>
        <translation>MQTT 服务器</translation>
    </message>
    <message>
        <source>Port</source>
        <translation>端口</translation>
    </message>
    <message>
        <source>Default</source>
        <translation>默认</translation>
    </message>
    <message>
        <source>CA file</source>
        <translation>CA 证书文件</translation>
    </message>
    <message>
        <source>none: no TLS</source>
        <translation>无：不使用 TLS</translation>
    </message>
    <message>
        <source>User name</source>
        <translation>用户名</translation>
    </message>
    <message>
        <source>Password file</source>
        <translation>密码文件</translation>
    </message>
    <message>
        <source>Password</source>
        <translation>密码</translation>
    </message>
    <message>
        <source>Station name</source>
        <translation>站点名称</translation>
    </message>
    <message>
        <source>Topic prefix</source>
        <translation>主题前缀</translation>
    </message>
    <message>
        <source>QoS</source>
        <translatorcomment>The MQTT quality of service level: it stays as it is.</translatorcomment>
        <translation>QoS</translation>
    </message>
    <message>
        <source>Largest picture (KiB)</source>
        <translation>图片上限（KiB）</translation>
    </message>
    <message>
        <source>Health every (s)</source>
        <translation>状态上报间隔（秒）</translation>
    </message>
    <message>
        <source>Off</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Home Assistant discovery</source>
        <translation>Home Assistant 自动发现</translation>
    </message>
    <message>
        <source>Discovery prefix</source>
        <translation>发现主题前缀</translation>
    </message>
    <message>
        <source>Not publishing</source>
        <translation>未发布</translation>
    </message>
    <message>
        <source>Connected since %1</source>
        <translation>自 %1 起已连接</translation>
    </message>
    <message>
        <source>Not connected: %1</source>
        <translation>未连接：%1</translation>
    </message>
    <message>
        <source>Connecting…</source>
        <translation>正在连接…</translation>
    </message>
    <message>
        <source>Events waiting to be sent: %1</source>
        <translation>待发送事件：%1</translation>
    </message>
    <message>
        <source>A topic prefix may not contain + or #</source>
        <translation>主题前缀不能包含 + 或 #</translation>
    </message>
    <message>
        <source>Not stored: %1</source>
        <translation>未保存：%1</translation>
    </message>
    <message>
        <source>stored in %1</source>
        <translation>已保存在 %1</translation>
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
<context>
    <name>EpisodeDetail</name>
    <message>
        <source>Keep</source>
        <translation>保留</translation>
    </message>
    <message>
        <source>Export...</source>
        <translation>导出...</translation>
    </message>
    <message>
        <source>Open folder</source>
        <translation>打开文件夹</translation>
    </message>
    <message>
        <source>A kept episode is never removed to free disk space or by its age</source>
        <translation>保留的报警事件不会因释放磁盘空间或过期而被删除</translation>
    </message>
    <message>
        <source>Choose an alarm episode in the list or the chart.</source>
        <translation>请在列表或图表中选择一个报警事件。</translation>
    </message>
    <message>
        <source>%1, in progress</source>
        <translation>%1，进行中</translation>
    </message>
    <message>
        <source>%1 to %2 (%3)</source>
        <translation>%1 至 %2（%3）</translation>
    </message>
    <message>
        <source>Camera time: %1 to %2</source>
        <translation>相机时间：%1 至 %2</translation>
    </message>
    <message>
        <source>Peak: %1    Snapshots: %2</source>
        <translation>最高温度：%1    抓拍：%2</translation>
    </message>
    <message>
        <source>Recordings: %1</source>
        <translation>录像：%1</translation>
    </message>
    <message>
        <source>none</source>
        <translation>无</translation>
    </message>
    <message>
        <source>Kept: never removed to free disk space or by its age.</source>
        <translation>已保留：不会因释放磁盘空间或过期而被删除。</translation>
    </message>
    <message>
        <source>Not in an alarm log: times from the files.</source>
        <translation>不在报警日志中：时间取自文件。</translation>
    </message>
    <message>
        <source>%1 cannot be shown: the file is missing or not a picture.</source>
        <translation>无法显示 %1：文件缺失或不是图片。</translation>
    </message>
</context>
<context>
    <name>EpisodeExporter</name>
    <message>
        <source>Nothing to export: none of the episode&apos;s files could be read</source>
        <translation>没有可导出的内容：该报警事件的文件均无法读取</translation>
    </message>
    <message>
        <source>not a regular file</source>
        <translation>不是普通文件</translation>
    </message>
    <message>
        <source>Cannot read %1: %2</source>
        <translation>无法读取 %1：%2</translation>
    </message>
    <message>
        <source>left out: %1 damaged bytes of %2</source>
        <translation>未包含：%2 中 %1 字节已损坏</translation>
    </message>
    <message>
        <source>left out: %1 (%2)</source>
        <translation>未包含：%1（%2）</translation>
    </message>
    <message>
        <source>Cannot write %1: %2</source>
        <translation>无法写入 %1：%2</translation>
    </message>
</context>
<context>
    <name>EpisodeTableModel</name>
    <message>
        <source>%1 (removed by retention)</source>
        <translation>%1（已被存储清理删除）</translation>
    </message>
    <message>
        <source>%1 (missing)</source>
        <translation>%1（缺失）</translation>
    </message>
    <message>
        <source>no snapshot</source>
        <translation>无抓拍</translation>
    </message>
    <message>
        <source>in progress</source>
        <translation>进行中</translation>
    </message>
    <message>
        <source>reviewed</source>
        <translation>已查看</translation>
    </message>
    <message>
        <source>new</source>
        <translation>未查看</translation>
    </message>
    <message>
        <source>kept</source>
        <translation>已保留</translation>
    </message>
    <message>
        <source>Snapshot</source>
        <translation>抓拍</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>开始</translation>
    </message>
    <message>
        <source>End</source>
        <translation>结束</translation>
    </message>
    <message>
        <source>Duration</source>
        <translation>时长</translation>
    </message>
    <message>
        <source>Peak</source>
        <translation>最高温度</translation>
    </message>
    <message>
        <source>Snapshots</source>
        <translation>抓拍数</translation>
    </message>
    <message>
        <source>Recordings</source>
        <translation>录像</translation>
    </message>
    <message>
        <source>Marks</source>
        <translation>标记</translation>
    </message>
</context>
<context>
    <name>HistoryPage</name>
    <message>
        <source>Mark day reviewed</source>
        <translation>将当天标为已查看</translation>
    </message>
    <message>
        <source>%1: no alarm episodes.</source>
        <translation>%1：没有报警事件。</translation>
    </message>
    <message>
        <source>%1: %2 alarm episodes, %3 not reviewed.</source>
        <translation>%1：%2 个报警事件，%3 个未查看。</translation>
    </message>
    <message>
        <source>None of the episode&apos;s files is on the disk any more.</source>
        <translation>该报警事件的文件均已不在磁盘上。</translation>
    </message>
    <message>
        <source>The episode&apos;s folder was not found</source>
        <translation>找不到该报警事件的文件夹</translation>
    </message>
    <message>
        <source>Zip archive (*.zip)</source>
        <translation>Zip 压缩包 (*.zip)</translation>
    </message>
    <message>
        <source>Cancel export</source>
        <translation>取消导出</translation>
    </message>
    <message>
        <source>Exporting to %1 ...</source>
        <translation>正在导出到 %1 ...</translation>
    </message>
    <message>
        <source>Exporting to %1 ... %2 %</source>
        <translation>正在导出到 %1 ... %2 %</translation>
    </message>
    <message>
        <source>Export...</source>
        <translation>导出...</translation>
    </message>
    <message>
        <source>Exported to %1.</source>
        <translation>已导出到 %1。</translation>
    </message>
    <message>
        <source>Export cancelled.</source>
        <translation>导出已取消。</translation>
    </message>
</context>
<context>
    <name>RecordingDecoder</name>
    <message>
        <source>The file is missing</source>
        <translation>文件缺失</translation>
    </message>
    <message>
        <source>The file may not be read</source>
        <translation>无权读取该文件</translation>
    </message>
    <message>
        <source>Not a recording (not a regular file)</source>
        <translation>不是录像（不是普通文件）</translation>
    </message>
    <message>
        <source>The recording is empty</source>
        <translation>录像为空</translation>
    </message>
    <message>
        <source>The recording&apos;s header is damaged or of an unknown version</source>
        <translation>录像文件头已损坏或版本未知</translation>
    </message>
    <message>
        <source>The file ends early: %1 frames playable</source>
        <translation>文件提前结束：可播放 %1 帧</translation>
    </message>
    <message>
        <source>The file is damaged in places: %1 frames playable</source>
        <translation>文件部分损坏：可播放 %1 帧</translation>
    </message>
    <message>
        <source>Not a recording</source>
        <translation>不是录像</translation>
    </message>
    <message>
        <source>The file ends early: %1 of %2 frames playable</source>
        <translation>文件提前结束：%2 帧中可播放 %1 帧</translation>
    </message>
    <message>
        <source>The recording holds no playable picture</source>
        <translation>录像中没有可播放的画面</translation>
    </message>
    <message>
        <source>The recording cannot be decoded</source>
        <translation>录像无法解码</translation>
    </message>
    <message>
        <source>The file changed while playing</source>
        <translation>播放时文件已改变</translation>
    </message>
    <message>
        <source>The file cannot be read (%1)</source>
        <translation>无法读取文件（%1）</translation>
    </message>
</context>
<context>
    <name>RecordingPlayer</name>
    <message>
        <source>Previous frame</source>
        <translation>上一帧</translation>
    </message>
    <message>
        <source>Previous frame (,)</source>
        <translation>上一帧 (,)</translation>
    </message>
    <message>
        <source>Play</source>
        <translation>播放</translation>
    </message>
    <message>
        <source>Play or pause (Space)</source>
        <translation>播放或暂停（空格）</translation>
    </message>
    <message>
        <source>Next frame</source>
        <translation>下一帧</translation>
    </message>
    <message>
        <source>Next frame (.)</source>
        <translation>下一帧 (.)</translation>
    </message>
    <message>
        <source>Pause</source>
        <translation>暂停</translation>
    </message>
</context>
</TS>
