// The environment a test runs the program in: offscreen, on the given virtual cameras (a
// FRAMEGATE_VIRTUAL_CAMERA value), with its own runtime folder (its own single-instance lock).
#pragma once

#include <QProcessEnvironment>
#include <string>

namespace CalorviewTest {

inline QProcessEnvironment programEnvironment(const std::string& cameras,
                                              const std::string& runtimeFolder) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("FRAMEGATE_VIRTUAL_CAMERA", QString::fromStdString(cameras));
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtimeFolder));
    return environment;
}

}  // namespace CalorviewTest
