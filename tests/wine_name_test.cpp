// Image names of programs run by Wine's loaders, from a directory laid out like /proc/<id>.
#include "platform/posix/image_name.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

TEST(WineName, FromTheFirstArgumentOfWineLoadersOnly) {
    using namespace std::string_literals;
    const struct {
        std::string exe;      // where the exe link points
        std::string cmdline;  // the cmdline file; none when empty
        std::string name;     // the name read; "unknown" when none is
    } rows[] = {
        {"/usr/lib/wine/wine64", "Z:\\srv\\2\\Quorvank-LT-2.exe\0x\0"s, "Quorvank-LT-2.exe"},
        {"/usr/bin/wine-preloader", "./bin/Quorvank-LT.exe\0"s, "Quorvank-LT.exe"},
        {"/opt/wine64-preloader", "C:/Q\\x/Quorvank-LT-3.exe", "Quorvank-LT-3.exe"},
        {"/usr/lib/wine/wine", "\0"s, "unknown"},
        {"/usr/lib/wine/wine64", "", "unknown"},
        {"/srv/Quorvank-LT-2.exe (deleted)", "wine64", "Quorvank-LT-2.exe"},
        {"/usr/bin/wineserver", "Quorvank-LT.exe", "wineserver"},
    };
    char dir[] = "/tmp/wine-name-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const int fd = open(dir, O_RDONLY | O_DIRECTORY);
    for (const auto& row : rows) {
        unlinkat(fd, "exe", 0);
        unlinkat(fd, "cmdline", 0);
        ASSERT_EQ(symlinkat(row.exe.c_str(), fd, "exe"), 0);
        if (!row.cmdline.empty()) {
            std::ofstream(dir + "/cmdline"s) << row.cmdline;
        }
        char name[256] = "unknown";
        EXPECT_EQ(imageBaseNameAt(fd, "", name, sizeof name), row.name != "unknown") << row.exe;
        EXPECT_EQ(name, row.name) << row.exe;
    }
    unlinkat(fd, "exe", 0);
    unlinkat(fd, "cmdline", 0);
    close(fd);
    rmdir(dir);
}
