// LoadEepromData against real files in a scratch working directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "eeprom_file.h"
#include "log_view.h"
#include "recording.h"
#include "tool_profile.h"

namespace {

const int UNTOUCHED_LENGTH = -7;  // sentinel: a failed load must not set the length

class EepromFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetToolProfile(&VESSAMO_PROFILE);
        ClearRecordedLog();
        ASSERT_NE(getcwd(old_dir_, sizeof old_dir_), nullptr);
        snprintf(dir_, sizeof dir_, "/tmp/eeprom_file_test.XXXXXX");
        ASSERT_NE(mkdtemp(dir_), nullptr);
        ASSERT_EQ(chdir(dir_), 0);
        g_eeprom_data = nullptr;
        g_eeprom_length = UNTOUCHED_LENGTH;
    }
    void TearDown() override
    {
        free(g_eeprom_data);
        g_eeprom_data = nullptr;
        g_eeprom_length = 0;
        chmod(EEPROM_FILE_NAME, 0600);
        unlink(EEPROM_FILE_NAME);
        rmdir(EEPROM_FILE_NAME);
        EXPECT_EQ(chdir(old_dir_), 0);
        rmdir(dir_);
    }

    // Writes the data file with a byte pattern that differs block to block.
    std::vector<unsigned char> WriteFile(long size)
    {
        std::vector<unsigned char> bytes((size_t)size);
        for (long k = 0; k < size; ++k)
            bytes[(size_t)k] = (unsigned char)(k * 7 + k / 256);
        FILE* f = fopen(EEPROM_FILE_NAME, "wb");
        EXPECT_NE(f, nullptr);
        if (f) {
            if (size > 0) {
                EXPECT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
            }
            fclose(f);
        }
        return bytes;
    }

    char old_dir_[4096];
    char dir_[64];
};

struct SizeCase {
    long size;
    const char* box;  // nullptr: the load succeeds
};

const SizeCase SIZE_CASES[] = {
    {0, nullptr},
    {128, nullptr},
    {262144, nullptr},
    {127, "Vessamo Error|Wrong EEPROM data size !\n"},
    {129, "Vessamo Error|Wrong EEPROM data size !\n"},
    {192, "Vessamo Error|Wrong EEPROM data size !\n"},  // a block and a half
    {262145, "Vessamo Error|Wrong EEPROM data size !\n"},
    {262272, "Vessamo Error|EEPROM data file too large: 262272 bytes, at most 262144 !\n"},
};

TEST_F(EepromFileTest, SizeRule)
{
    for (const SizeCase& c : SIZE_CASES) {
        SCOPED_TRACE(c.size);
        ClearRecordedLog();
        free(g_eeprom_data);
        g_eeprom_data = nullptr;
        g_eeprom_length = UNTOUCHED_LENGTH;
        std::vector<unsigned char> bytes = WriteFile(c.size);

        int ok = LoadEepromData();

        if (!c.box) {
            EXPECT_EQ(ok, 1);
            EXPECT_EQ(RecordedErrorBoxes(), "");
            EXPECT_EQ(g_eeprom_length, c.size);
            ASSERT_NE(g_eeprom_data, nullptr);
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), g_eeprom_data));
        } else {
            EXPECT_EQ(ok, 0);
            EXPECT_EQ(RecordedErrorBoxes(), c.box);
            EXPECT_EQ(g_eeprom_length, UNTOUCHED_LENGTH);
            EXPECT_EQ(g_eeprom_data, nullptr);
        }
        EXPECT_EQ(RecordedLog(), "");  // the size line is the shell's, after the windows exist
    }
}

TEST_F(EepromFileTest, MissingFile)
{
    EXPECT_EQ(LoadEepromData(), 0);
    EXPECT_EQ(RecordedErrorBoxes(), "Vessamo Error|Failed loaded EEPROM file !\n");
    EXPECT_EQ(g_eeprom_length, UNTOUCHED_LENGTH);
    EXPECT_EQ(g_eeprom_data, nullptr);
}

TEST_F(EepromFileTest, UnreadableFile)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root reads the file whatever its mode";
    WriteFile(128);
    ASSERT_EQ(chmod(EEPROM_FILE_NAME, 0), 0);
    EXPECT_EQ(LoadEepromData(), 0);
    EXPECT_EQ(RecordedErrorBoxes(), "Vessamo Error|Failed loaded EEPROM file !\n");
    EXPECT_EQ(g_eeprom_data, nullptr);
}

TEST_F(EepromFileTest, DirectoryInPlaceOfTheFile)
{
    // Opening a directory for reading succeeds on Linux; what size it then
    // reports depends on the file system, so any of the refusals will do,
    // as long as the load fails with one box and leaves no data behind.
    ASSERT_EQ(mkdir(EEPROM_FILE_NAME, 0700), 0);
    EXPECT_EQ(LoadEepromData(), 0);
    std::string boxes = RecordedErrorBoxes();
    EXPECT_EQ(boxes.rfind("Vessamo Error|", 0), 0u) << boxes;
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), '\n'), 1) << boxes;
    EXPECT_EQ(g_eeprom_length, UNTOUCHED_LENGTH);
    EXPECT_EQ(g_eeprom_data, nullptr);
}

}  // namespace
