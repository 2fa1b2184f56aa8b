// Image names of programs run by Wine's loaders, from a directory laid out like /proc/<id>.
#include "platform/posix/image_name.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

TEST(WineName, FromTheFirstArgumentOfWineLoadersOnly) {
    using namespace std::string_literals;
    // The exe link, the name read ("unknown": none) and the cmdline file ("-": none).
    const std::string rows[][3] = {
        {"/usr/lib/wine/wine64", "Quorvank-LT-2.exe", "Z:\\srv\\2\\Quorvank-LT-2.exe\0x\0"s},
        {"/usr/bin/wine-preloader", "Quorvank-LT.exe", "./bin/Quorvank-LT.exe\0"s},
        {"/opt/wine64-preloader", "Quorvank-LT-3.exe", "C:/Q\\x/Quorvank-LT-3.exe"},
        {"/usr/lib/wine/wine", "unknown", ""},
        {"/usr/lib/wine/wine64", "unknown", "-"},
        {"/srv/Quorvank-LT-2.exe (deleted)", "Quorvank-LT-2.exe", "wine64"},
        {"/usr/bin/wineserver", "wineserver", "Quorvank-LT.exe"}};
    char dir[] = "/tmp/wine-name-XXXXXX";
    const int fd = open(mkdtemp(dir), O_RDONLY | O_DIRECTORY);
    for (const auto& row : rows) {
        unlinkat(fd, "exe", 0), unlinkat(fd, "cmdline", 0);
        EXPECT_EQ(symlinkat(row[0].c_str(), fd, "exe"), 0);
        std::ofstream(row[2] == "-" ? "/dev/null"s : dir + "/cmdline"s) << row[2];
        char name[256] = "unknown";
        EXPECT_EQ(imageBaseNameAt(fd, "", name, sizeof name), row[1] != "unknown");
        EXPECT_EQ(name, row[1]) << row[0];
    }
    unlinkat(fd, "exe", 0), unlinkat(fd, "cmdline", 0), close(fd), rmdir(dir);
}
