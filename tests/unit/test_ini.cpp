#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ini.h"
#include "settings.h"

namespace {
std::string write_tmp(const std::string& text)
{
    char path[] = "/tmp/initest-XXXXXX";
    int fd = mkstemp(path);
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ADD_FAILURE();
    close(fd);
    return path;
}
}  // namespace

TEST(Ini, LoadsPairsInFileOrder)
{
    std::string p = write_tmp(
        "a = 1\r\n"
        "\n"
        "  b\t=\t two words \t\n"
        "c=// all comment\n"
        "d=\n"                 // nothing after "=": dropped
        "e= \n"                // blanks after "=": kept, empty
        "url=http://host/x\n"  // "//" cuts values too
        "no equals here\n"
        "f=x=y\n"
        "a=second\n");
    INI_PAIR_T* list = Ini_Load(p.c_str());
    ASSERT_NE(list, nullptr);
    struct Case { const char* key; int found; const char* want; };
    const Case cases[] = {
        {"a", 1, "1"}, {"b", 1, "two words"}, {"c", 0, ""}, {"d", 0, ""}, {"e", 1, ""},
        {"url", 1, "http:"}, {"f", 1, "x=y"}, {"A", 0, ""}, {"no equals here", 0, ""},
    };
    for (const auto& c : cases) {
        char buf[32] = "junk";
        EXPECT_EQ(Ini_Get(buf, sizeof buf, c.key, list), c.found) << c.key;
        if (c.found) {
            EXPECT_STREQ(buf, c.want) << c.key;
        }
    }
    Ini_Free(list);
    unlink(p.c_str());
}

TEST(Ini, GetCutsLongValuesToTheBuffer)
{
    std::string p = write_tmp("k=" + std::string(5000, 'v') + "\n");
    INI_PAIR_T* list = Ini_Load(p.c_str());
    char buf[8];
    char guard[8] = "GUARD!!";
    EXPECT_EQ(Ini_Get(buf, sizeof buf, "k", list), 1);
    EXPECT_STREQ(buf, "vvvvvvv");
    EXPECT_STREQ(guard, "GUARD!!");
    Ini_Free(list);
    unlink(p.c_str());
}

TEST(Ini, MissingOrEmptyFilesGiveNoList)
{
    EXPECT_EQ(Ini_Load("/nonexistent/file.ini"), nullptr);
    std::string p = write_tmp("");
    EXPECT_EQ(Ini_Load(p.c_str()), nullptr);
    unlink(p.c_str());
}

TEST(Ini, SetSaveAndTrim)
{
    INI_PAIR_T* list = Ini_New_Pair("1", "a");
    EXPECT_EQ(Ini_Set("2", "a", list), 1);
    EXPECT_EQ(Ini_Set("3", "b", list), 1);
    EXPECT_EQ(Ini_Set("3", "b", nullptr), 0);
    std::string p = write_tmp("");
    EXPECT_EQ(Ini_Save(p.c_str(), list), 1);
    INI_PAIR_T* back = Ini_Load(p.c_str());
    char buf[8];
    EXPECT_EQ(Ini_Get(buf, sizeof buf, "a", back), 1);
    EXPECT_STREQ(buf, "2");
    EXPECT_EQ(Ini_Get(buf, sizeof buf, "b", back), 1);
    EXPECT_STREQ(buf, "3");
    Ini_Free(back);
    Ini_Free(list);
    unlink(p.c_str());

    char t[] = " \t x y \t ";
    Ini_Trim(t);
    EXPECT_STREQ(t, "x y");
}

TEST(Settings, DecimalValues)
{
    struct Case { const char* in; int want; };
    const Case cases[] = {
        {"120", 120}, {"  -7", -7}, {"+5", 5}, {"12ab", 12}, {"abc", 0}, {"", 0},
        {"9999999999999999999", 2147483647}, {"-9999999999999999999", -2147483647 - 1},
    };
    for (const auto& c : cases) EXPECT_EQ(Settings_Atoi(c.in), c.want) << c.in;
}
