// GoogleTest main with the QApplication that widgets need, under a private
// runtime directory so that Qt neither warns nor shares state with others.

#include <QApplication>
#include <QLocale>

#include <gtest/gtest.h>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    std::string runtimeDir = (std::filesystem::temp_directory_path() / "telvane-ui-test-XXXXXX").string();
    if (mkdtemp(runtimeDir.data()) != nullptr) {
        setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The tests check German texts and a 24-hour time of day.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));

    int result = 0;
    {
        QApplication app(argc, argv);
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    std::filesystem::remove_all(runtimeDir, ignored);
    return result;
}
