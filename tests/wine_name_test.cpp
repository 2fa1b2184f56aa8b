// Image names of programs run by Wine's loaders, from a directory laid out like /proc/<id>.
#include "platform/platform.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

using namespace std::string_literals;

TEST(WineName, FromTheFirstArgumentOfWineLoadersOnly) {
    // The exe link, the cmdline file ("-": none) and the name read ("unknown": none).
    const struct {
        const char *exe, *name;
        std::string cmdline;
    } rows[] = {
        {"/usr/lib/wine/wine64", "Quorvank-LT-2.exe", "Z:\\srv\\2\\Quorvank-LT-2.exe\0x\0"s},
        {"/usr/bin/wine-preloader", "Quorvank-LT.exe", "./bin/Quorvank-LT.exe\0"s},
        {"/opt/wine64-preloader", "Quorvank-LT-3.exe", "C:/Q\\x/Quorvank-LT-3.exe"},
        {"/usr/lib/wine/wine", "unknown", ""},
        {"/usr/lib/wine/wine64", "unknown", "-"},
        {"/srv/Quorvank-LT-2.exe (deleted)", "Quorvank-LT-2.exe", "wine64"},
        {"/usr/bin/wineserver", "wineserver", "Quorvank-LT.exe"}};
    char dir[] = "/tmp/wine-name-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const int fd = open(dir, O_RDONLY | O_DIRECTORY);
    for (const auto& row : rows) {
        std::system(("rm -f "s + dir + "/*").c_str());
        ASSERT_EQ(symlinkat(row.exe, fd, "exe"), 0);
        std::ofstream(row.cmdline == "-" ? "/dev/null"s : dir + "/cmdline"s) << row.cmdline;
        char name[256] = "unknown";
        EXPECT_EQ(imageBaseNameAt(fd, "", name, sizeof name), std::string(row.name) != "unknown");
        EXPECT_STREQ(name, row.name) << row.exe;
    }
    close(fd);
    std::system(("rm -rf "s + dir).c_str());
}
