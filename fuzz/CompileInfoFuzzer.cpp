// CompileInfo.ini: any bytes as the file, then the version the about box shows and the
// recordings' metadata carries as UTF-8.
#include <QString>

#include <cstddef>
#include <cstdint>

#include "IniFile.h"
#include "settings/CompileInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static IniFile file(QStringLiteral("CompileInfo.ini"));
    file.write(data, size);
    CompileVersion(file.folder()).toStdString();
    return 0;
}
