// The .zel loader on real files in a temporary folder: every refusal with
// its message and what stays held afterwards, and the images of a good file.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "firmware_image.h"
#include "log_view.h"
#include "recording.h"
#include "tool_profile.h"

namespace {

typedef std::vector<unsigned char> Bytes;

Bytes Pattern(size_t n, unsigned seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (unsigned char)(i * 131 + seed + (i >> 8));
    return b;
}

Bytes ZelFile(const Bytes& code, const Bytes& eeprom, const char* head = "ZEL",
              const char* trail = "LEZ")
{
    Bytes f(head, head + 3);
    f.insert(f.end(), code.begin(), code.end());
    f.insert(f.end(), trail, trail + 3);
    f.insert(f.end(), eeprom.begin(), eeprom.end());
    return f;
}

class FirmwareImageTest : public ::testing::Test {
protected:
    std::string dir_;

    void SetUp() override
    {
        SetToolProfile(&BRANNIK_PROFILE);
        char tmpl[] = "/tmp/zel_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ClearRecordedLog();
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string Write(const std::string& name, const Bytes& content)
    {
        std::string path = dir_ + "/" + name;
        FILE* f = fopen(path.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            if (!content.empty())
                fwrite(content.data(), 1, content.size(), f);
            fclose(f);
        }
        return path;
    }

    // Loads path; returns the error boxes it showed ("" when none).
    std::string Load(const std::string& path, int expect_result)
    {
        ClearRecordedLog();
        EXPECT_EQ(LoadFirmwareImage(path.c_str()), expect_result) << path;
        return RecordedErrorBoxes();
    }

    std::string GoodFile(const std::string& name = "good.zel")
    {
        return Write(name, ZelFile(Pattern(ZEL_CODE_BYTES, 1), Pattern(ZEL_EEPROM_BYTES, 2)));
    }
};

std::string Box(const char* text) { return std::string("Brannik Error|") + text + "\n"; }

const char LOADED[] = "Код успешно загружен !\r\r\n";  // as the log view shows it

TEST_F(FirmwareImageTest, RefusedFilesShowTheirMessageAndLeaveNoImage)
{
    const Bytes code = Pattern(ZEL_CODE_BYTES, 5), eeprom = Pattern(ZEL_EEPROM_BYTES, 6);
    Bytes good = ZelFile(code, eeprom);
    Bytes short_by_one(good.begin(), good.end() - 1);
    Bytes long_by_one = good;
    long_by_one.push_back(0);

    struct Case {
        const char* what;
        Bytes content;
        const char* box;
        bool code_held;   // the bad-trailer case keeps the code image
    } cases[] = {
        {"50181 bytes", short_by_one, "Wrong size of ZEL binary flash !", false},
        {"50183 bytes", long_by_one, "Wrong size of ZEL binary flash !", false},
        {"empty", Bytes(), "Wrong size of ZEL binary flash !", false},
        {"header zel", ZelFile(code, eeprom, "zel"), "Failed reading ZEL binary flash !", false},
        {"header LEZ", ZelFile(code, eeprom, "LEZ"), "Failed reading ZEL binary flash !", false},
        {"header ZEX", ZelFile(code, eeprom, "ZEX"), "Failed reading ZEL binary flash !", false},
        {"trailer lez", ZelFile(code, eeprom, "ZEL", "lez"), "Failed reading ZEL binary flash !", true},
        {"trailer ZEL", ZelFile(code, eeprom, "ZEL", "ZEL"), "Failed reading ZEL binary flash !", true},
        {"trailer LEY", ZelFile(code, eeprom, "ZEL", "LEY"), "Failed reading ZEL binary flash !", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Load(GoodFile(), 1), "");
        ASSERT_EQ(IsFirmwareLoaded(), 1);
        std::string path = Write("bad.zel", c.content);
        EXPECT_EQ(Load(path, 0), Box(c.box));
        EXPECT_EQ(RecordedLog(), "");
        EXPECT_EQ(IsFirmwareLoaded(), 0);
        EXPECT_EQ(g_eeprom_image.load(), nullptr);
        if (c.code_held) {
            ASSERT_NE(g_code_image.load(), nullptr);
            EXPECT_EQ(memcmp(g_code_image.load(), code.data(), ZEL_CODE_BYTES), 0);
        } else {
            EXPECT_EQ(g_code_image.load(), nullptr);
        }
    }
}

TEST_F(FirmwareImageTest, PathsThatCannotBeReadAreRefusedAsUnopenable)
{
    std::string locked = GoodFile("locked.zel");
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    std::string subdir = dir_ + "/folder.zel";
    ASSERT_EQ(mkdir(subdir.c_str(), 0755), 0);

    struct Case {
        const char* what;
        std::string path;
        bool needs_permissions;
    } cases[] = {
        {"missing", dir_ + "/vanished.zel", false},
        {"directory", subdir, false},
        {"empty path", "", false},
        {"no read permission", locked, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs_permissions && geteuid() == 0)
            continue;  // root reads the file anyway
        ASSERT_EQ(Load(GoodFile(), 1), "");
        EXPECT_EQ(Load(c.path, 0), Box("Failed opening ZEL binary flash !"));
        EXPECT_EQ(IsFirmwareLoaded(), 0);
        EXPECT_EQ(g_code_image.load(), nullptr);
        EXPECT_EQ(g_eeprom_image.load(), nullptr);
    }
}

TEST_F(FirmwareImageTest, AnyContentBetweenTheMagicsIsLoadedAsItStands)
{
    struct Case {
        const char* what;
        const char* name;   // bytes as the file system holds them
        Bytes code, eeprom;
    } cases[] = {
        {"pattern", "fw.zel", Pattern(ZEL_CODE_BYTES, 9), Pattern(ZEL_EEPROM_BYTES, 10)},
        {"all 0xFF", "ff.zel", Bytes(ZEL_CODE_BYTES, 0xFF), Bytes(ZEL_EEPROM_BYTES, 0xFF)},
        {"all zero", "zero.zel", Bytes(ZEL_CODE_BYTES, 0), Bytes(ZEL_EEPROM_BYTES, 0)},
        {"magics inside", "magic.zel", Bytes(ZEL_CODE_BYTES, 'L'), Bytes(ZEL_EEPROM_BYTES, 'Z')},
        // UTF-8 "прошивка 1.zel", written as bytes so the build's code page
        // conversion leaves it alone.
        {"non-ASCII name", "\xd0\xbf\xd1\x80\xd0\xbe\xd1\x88\xd0\xb8\xd0\xb2\xd0\xba\xd0\xb0 1.zel",
         Pattern(ZEL_CODE_BYTES, 11), Pattern(ZEL_EEPROM_BYTES, 12)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = Write(c.name, ZelFile(c.code, c.eeprom));
        EXPECT_EQ(Load(path, 1), "");
        EXPECT_EQ(RecordedLog(), LOADED);
        ASSERT_EQ(IsFirmwareLoaded(), 1);
        EXPECT_EQ(memcmp(g_code_image.load(), c.code.data(), ZEL_CODE_BYTES), 0);
        EXPECT_EQ(memcmp(g_eeprom_image.load(), c.eeprom.data(), ZEL_EEPROM_BYTES), 0);
    }
}

TEST_F(FirmwareImageTest, LoadingTheSameFileTwiceLogsTwice)
{
    std::string path = GoodFile();
    ClearRecordedLog();
    ASSERT_EQ(LoadFirmwareImage(path.c_str()), 1);
    ASSERT_EQ(LoadFirmwareImage(path.c_str()), 1);
    EXPECT_EQ(RecordedLog(), std::string(LOADED) + LOADED);
    EXPECT_EQ(RecordedErrorBoxes(), "");
    Bytes code = Pattern(ZEL_CODE_BYTES, 1);
    EXPECT_EQ(memcmp(g_code_image.load(), code.data(), ZEL_CODE_BYTES), 0);
}

}  // namespace
