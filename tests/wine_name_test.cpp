// Image names of Windows programs run by Wine's loaders, from a directory laid out like /proc/<id>.
#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace std::string_literals;

TEST(WineName, TakesTheImageFromTheFirstArgumentOfWineLoadersOnly) {
    // Link target of exe, content of cmdline ("-": none), the name ("unknown": false, untouched).
    const struct {
        const char* exe;
        std::string cmdline;
        const char* name;
    } rows[] = {
        {"/usr/lib/wine/wine64", "Z:\\srv\\2\\Quorvank-LT-2.exe\0arg\0"s, "Quorvank-LT-2.exe"},
        {"/usr/bin/wine-preloader", "./bin/Quorvank-LT.exe\0"s, "Quorvank-LT.exe"},
        {"/opt/wine64-preloader", "C:/Q\\x/Quorvank-LT-3.exe", "Quorvank-LT-3.exe"},
        {"/usr/lib/wine/wine", "", "unknown"},
        {"/usr/lib/wine/wine64", "-", "unknown"},
        {"/srv/Quorvank-LT-2.exe (deleted)", "wine64", "Quorvank-LT-2.exe"},
        {"/usr/bin/wineserver", "Quorvank-LT.exe", "wineserver"}};
    char dir[] = "/tmp/wine-name-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string exe = std::string(dir) + "/exe", cmdline = std::string(dir) + "/cmdline";
    for (const auto& row : rows) {
        std::filesystem::remove(exe), std::filesystem::remove(cmdline);
        ASSERT_EQ(symlink(row.exe, exe.c_str()), 0);
        if (row.cmdline != "-") {
            std::ofstream(cmdline, std::ios::binary) << row.cmdline;
        }
        char name[256] = "unknown";
        const int fd = open(dir, O_RDONLY | O_DIRECTORY);
        EXPECT_EQ(imageBaseNameAt(fd, "", name, sizeof name), std::string(row.name) != "unknown");
        EXPECT_STREQ(name, row.name) << row.exe;
        close(fd);
    }
    std::filesystem::remove_all(dir);
}
