// The build's version, as "CompileInfo.ini" in the application folder states it.
#pragma once

#include <QString>

// "CompileInfo/CompileVersion" from `appDir` + "/CompileInfo.ini" (the application folder when
// empty); a fixed default when the file or key is missing. Any thread.
QString CompileVersion(const QString& appDir = QString());
