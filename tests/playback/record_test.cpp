// The station record file against real files.
#include <gtest/gtest.h>

#include "playback/record.h"
#include "playback/errors.h"
#include "playback/station.h"
#include "test_support.h"

namespace {

std::string Field(const std::string& text, std::size_t capacity, int lengthByte = -1) {
    std::string field(1 + capacity, 'z');
    field[0] = char(lengthByte < 0 ? int(text.size()) : lengthByte);
    field.replace(1, text.size(), text);
    return field;
}

std::string Record(const std::string& title, const std::string& home, const std::string& stream) {
    return Field(title, 40) + Field(home, 50) + Field(stream, 60);
}

class StationRecordFile : public ::testing::Test {
  protected:
    void SetUp() override {
        StationTitle = "t0";
        HomeAddress = "h0";
        StreamAddress = "s0";
    }
    void TearDown() override { SetStationRecordPath(""); }
    void readFrom(const std::string& path) {
        SetStationRecordPath(path);
        Readini();
    }
    void expectUntouched() {
        EXPECT_EQ(StationTitle, "t0");
        EXPECT_EQ(HomeAddress, "h0");
        EXPECT_EQ(StreamAddress, "s0");
    }
    test::TempFolder dir;
};

TEST_F(StationRecordFile, PathBesideExecutable) {
    EXPECT_EQ(RecordPathFor("/usr/bin/velmora"), "/usr/bin/velmora.dta");
    EXPECT_EQ(RecordPathFor("/opt/v.1/velmora"), "/opt/v.1/velmora.dta");
    EXPECT_EQ(RecordPathFor("/opt/velmora.bin"), "/opt/velmora.dta");
    EXPECT_EQ(RecordPathFor("/opt/a.b.c"), "/opt/a.b.dta");
    const std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_NE(exe.find("playback_tests"), std::string::npos);
    SetStationRecordPath("");
    EXPECT_EQ(StationRecordPath(), RecordPathFor(exe));
}

TEST_F(StationRecordFile, MissingShortOrFolderIsNoRecord) {
    readFrom(dir.file("none.dta"));
    expectUntouched();
    readFrom(dir.write("short.dta", Record("T", "H", "S").substr(0, 152)));
    expectUntouched();
    readFrom(dir.path());
    expectUntouched();
}

TEST_F(StationRecordFile, FieldsInFileOrder) {
    readFrom(dir.write("r.dta", Record("Title", "http://home", "http://stream")));
    EXPECT_EQ(StationTitle, "Title");
    EXPECT_EQ(HomeAddress, "http://home");
    EXPECT_EQ(StreamAddress, "http://stream");
}

TEST_F(StationRecordFile, OnlyFirstRecordCounts) {
    std::string bytes = Record("First", "h", "s") + std::string(47, '\x05');
    ASSERT_EQ(bytes.size(), 200u);
    readFrom(dir.write("r.dta", bytes));
    EXPECT_EQ(StationTitle, "First");
    EXPECT_EQ(StreamAddress, "s");
}

TEST_F(StationRecordFile, EmptyFieldsAndFullWidthTitle) {
    const std::string forty(40, 'T');
    readFrom(dir.write("r.dta", Record(forty, "", "")));
    EXPECT_EQ(StationTitle, forty);
    EXPECT_EQ(HomeAddress, "");
    EXPECT_EQ(StreamAddress, "");
}

TEST_F(StationRecordFile, OversizedLengthReadsWholeField) {
    const std::string bytes =
        Field("abc", 40, 255) + Field("home", 50, 51) + Field(std::string(60, 's'), 60, 200);
    readFrom(dir.write("r.dta", bytes));
    EXPECT_EQ(StationTitle, "abc" + std::string(37, 'z'));
    EXPECT_EQ(HomeAddress, "home" + std::string(46, 'z'));
    EXPECT_EQ(StreamAddress, std::string(60, 's'));
}

TEST_F(StationRecordFile, ReadOnlyFileIsRead) {
    const auto path = dir.write("r.dta", Record("RO", "h", "s"));
    chmod(path.c_str(), 0444);
    readFrom(path);
    EXPECT_EQ(StationTitle, "RO");
}

TEST_F(StationRecordFile, UnopenableFileRaisesIoError) {
    SetStationRecordPath(dir.socket("r.dta"));
    try {
        Readini();
        FAIL() << "no error";
    } catch (const EInOutError& error) {
        EXPECT_EQ(error.errorCode(), ENXIO);
        EXPECT_EQ(std::string(error.what()),
                  "Cannot read the station file \"" + StationRecordPath() +
                      "\" (not a regular file): " + "I/O error " + std::to_string(ENXIO));
    }
    expectUntouched();
}

// A FIFO or a device is never opened for reading: it raises the I/O error of a file that cannot
// be opened instead of holding the window thread.
TEST_F(StationRecordFile, FifoOrDeviceRaisesIoError) {
    const std::string fifo = dir.fifo("f.dta");
    for (const std::string& path : {fifo, dir.symlink("z.dta", "/dev/zero")}) {
        test::FifoRelease release(fifo);
        SetStationRecordPath(path);
        try {
            Readini();
            ADD_FAILURE() << "no error for " << path;
        } catch (const EInOutError& error) {
            EXPECT_EQ(error.errorCode(), ENXIO);
        }
        EXPECT_FALSE(release.released()) << "waited in opening " << path;
        expectUntouched();
    }
}

}  // namespace
