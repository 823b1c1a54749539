// File streams on the real file system: open modes, the error codes of failed operations,
// read/write switching, the buffering layer, and JSON load and save through them.
#include "hmd/support/file.h"
#include "hmd/support/json.h"

#include "tests/hmd/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using Visor::File;
using Visor::JSON;
using Visor::Ptr;
using Visor::SysFile;

namespace {

int WriteText(File& file, const std::string& text) {
    return file.Write(reinterpret_cast<const uint8_t*>(text.data()), int(text.size()));
}

std::string ReadText(File& file, int count) {
    std::string text(size_t(count), '\0');
    int got = file.Read(reinterpret_cast<uint8_t*>(&text[0]), count);
    text.resize(got > 0 ? size_t(got) : 0);
    return text;
}

} // namespace

class FileStreams : public ::testing::Test {
protected:
    visor_test::TempDir Dir;
};

TEST_F(FileStreams, FailedOpensReportTheirErrorCode) {
    SysFile file;
    EXPECT_FALSE(file.Open(Dir.file("missing").c_str(), File::Open_Read));
    EXPECT_EQ(file.GetErrorCode(), File::Error_FileNotFound);
    uint8_t byte;
    EXPECT_EQ(file.Read(&byte, 1), -1);
    EXPECT_EQ(file.Write(&byte, 1), -1);
    EXPECT_FALSE(file.Close());

    EXPECT_FALSE(file.Open(Dir.path().c_str(), File::Open_Read)); // a folder is no file
    EXPECT_EQ(file.GetErrorCode(), File::Error_IOError);

    // A reopen closes the previous file, even when the new one fails.
    ASSERT_TRUE(Dir.write("b", "B"));
    ASSERT_TRUE(file.Open(Dir.file("b").c_str(), File::Open_Read));
    EXPECT_FALSE(file.Open(Dir.file("c").c_str(), File::Open_Read));
    EXPECT_EQ(file.GetErrorCode(), File::Error_FileNotFound);
    EXPECT_EQ(file.Read(&byte, 1), -1);

    // Root passes permission bits, so it needs a file the kernel refuses to everyone.
    std::string locked = Dir.file("locked");
    ASSERT_TRUE(Dir.write("locked", "x"));
    chmod(locked.c_str(), 0);
    if (geteuid() == 0)
        locked = "/sys/kernel/notes";
    if (file.Open(locked.c_str(), File::Open_Write))
        GTEST_SKIP() << "no file refuses writing here";
    EXPECT_EQ(file.GetErrorCode(), File::Error_Access);
}

TEST_F(FileStreams, OpenFlagsTruncateAppendOrRefuseWriting) {
    ASSERT_TRUE(Dir.write("f", "old contents"));
    SysFile file(Dir.file("f").c_str(), File::Open_Write | File::Open_Truncate | File::Open_Create);
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(file.GetLength(), 0);
    EXPECT_EQ(WriteText(file, "abc"), 3);
    EXPECT_TRUE(file.Close());

    ASSERT_TRUE(file.Open(Dir.file("f").c_str(), File::Open_Write | File::Open_Create));
    EXPECT_EQ(WriteText(file, "def"), 3);
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(Dir.read("f"), "abcdef");

    ASSERT_TRUE(file.Open(Dir.file("f").c_str(), File::Open_Read));
    EXPECT_FALSE(file.IsWritable());
    EXPECT_EQ(WriteText(file, "x"), 0);
    EXPECT_NE(file.GetErrorCode(), File::Error_None);
    file.Close();
    EXPECT_EQ(Dir.read("f"), "abcdef");
}

TEST_F(FileStreams, ReadingRightAfterWritingSeesTheWrittenPosition) {
    ASSERT_TRUE(Dir.write("f", "0123456789"));
    SysFile file(Dir.file("f").c_str(), File::Open_Read | File::Open_Write);
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(WriteText(file, "AB"), 2);
    EXPECT_EQ(ReadText(file, 3), "234");
    EXPECT_EQ(WriteText(file, "X"), 1);
    EXPECT_EQ(file.Tell(), 6);
    EXPECT_EQ(file.Seek(0), 0);
    EXPECT_EQ(ReadText(file, 10), "AB234X6789");
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(Dir.read("f"), "AB234X6789");
}

TEST_F(FileStreams, PositionsLengthsAndSkips) {
    ASSERT_TRUE(Dir.write("f", "0123456789"));
    SysFile file(Dir.file("f").c_str(), File::Open_Read);
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(file.GetLength(), 10);
    EXPECT_EQ(file.Seek(-3, File::Seek_End), 7);
    EXPECT_EQ(file.Available(), 3);
    EXPECT_EQ(file.Seek(-2, File::Seek_Cur), 5);
    EXPECT_EQ(file.Skip(2), 2);
    EXPECT_EQ(ReadText(file, 1), "7");
    EXPECT_EQ(file.Skip(100), 2); // stops at the end
    EXPECT_EQ(file.Available(), 0);
    EXPECT_EQ(ReadText(file, 5), "");
    EXPECT_EQ(file.GetErrorCode(), File::Error_None); // the end is no error
    EXPECT_EQ(file.Seek(0, 7), -1);
    EXPECT_EQ(file.Seek(-20, File::Seek_Set), -1);
    EXPECT_EQ(file.Tell64(), 10);
}

TEST_F(FileStreams, FullDiskIsReportedWhenDataReachesIt) {
    SysFile file;
    if (!file.Open("/dev/full", File::Open_Write | File::Open_Truncate))
        GTEST_SKIP() << "/dev/full is not available";
    // The stream buffers small writes, so the failure shows at flush.
    EXPECT_EQ(WriteText(file, "data"), 4);
    EXPECT_FALSE(file.Flush());
    EXPECT_EQ(file.GetErrorCode(), File::Error_DiskFull);

    ASSERT_TRUE(file.Open("/dev/full", File::Open_Write | File::Open_Truncate));
    EXPECT_EQ(WriteText(file, "data"), 4);
    EXPECT_FALSE(file.Close()) << "a close that loses data must not report success";
    EXPECT_EQ(file.GetErrorCode(), File::Error_DiskFull);
    EXPECT_FALSE(file.IsValid());
}

// The buffered layer must read and write exactly what the plain stream would.
class BufferedFileStreams : public FileStreams {
protected:
    static std::string Pattern(size_t size) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i)
            data[i] = char('a' + (i * 7 + i / 13) % 26);
        return data;
    }
};

TEST_F(BufferedFileStreams, WritesInPiecesAcrossTheBufferSize) {
    std::string data = Pattern(3 * Visor::BufferedFile::BufferSize + 123);
    SysFile file(Dir.file("f").c_str(), 0xE | File::Open_Buffered);
    ASSERT_TRUE(file.IsValid());
    size_t offset = 0;
    for (size_t piece : {1u, 700u, 8184u, 20000u, 5u}) {
        size_t n = std::min(piece, data.size() - offset);
        ASSERT_EQ(WriteText(file, data.substr(offset, n)), int(n));
        offset += n;
    }
    ASSERT_EQ(WriteText(file, data.substr(offset)), int(data.size() - offset));
    EXPECT_EQ(file.Tell64(), int64_t(data.size()));
    EXPECT_EQ(file.GetLength64(), int64_t(data.size()));
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(Dir.read("f"), data);
}

TEST_F(BufferedFileStreams, ReadsSeeksAndWritesInterleaved) {
    std::string data = Pattern(20000);
    ASSERT_TRUE(Dir.write("f", data));
    SysFile file(Dir.file("f").c_str(), File::Open_Read | File::Open_Write | File::Open_Buffered);
    ASSERT_TRUE(file.IsValid());
    EXPECT_EQ(ReadText(file, 10), data.substr(0, 10));
    EXPECT_EQ(file.Tell(), 10);
    EXPECT_EQ(file.Available(), 19990);
    EXPECT_EQ(file.Skip(5), 5);
    EXPECT_EQ(ReadText(file, 9000), data.substr(15, 9000));
    // Writing after read-ahead goes where the caller stands, not where the file was read to.
    ASSERT_EQ(WriteText(file, "XYZ"), 3);
    data.replace(9015, 3, "XYZ");
    EXPECT_EQ(file.Tell(), 9018);
    EXPECT_EQ(ReadText(file, 4), data.substr(9018, 4));
    EXPECT_EQ(file.Seek(-4, File::Seek_Cur), 9018);
    EXPECT_EQ(file.Seek(9010), 9010);
    EXPECT_EQ(ReadText(file, 12), data.substr(9010, 12));
    EXPECT_EQ(file.Seek(0, File::Seek_End), 20000);
    EXPECT_EQ(ReadText(file, 1), "");
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(Dir.read("f"), data);
}

TEST_F(BufferedFileStreams, CopyLandsWholeAndPendingBytesAreWrittenWhenTheStreamGoes) {
    std::string data = Pattern(20000);
    ASSERT_TRUE(Dir.write("src", data));
    {
        SysFile source(Dir.file("src").c_str(), File::Open_Read);
        SysFile target(Dir.file("dst").c_str(), 0xE | File::Open_Buffered);
        ASSERT_TRUE(source.IsValid() && target.IsValid());
        EXPECT_EQ(target.CopyFrom(&source, 100000), int(data.size()));
        WriteText(target, "kept");
    }
    EXPECT_EQ(Dir.read("dst"), data + "kept");
}

TEST_F(FileStreams, JSONSaveThenLoad) {
    Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::CreateObject());
    root->AppendString("name", "A");
    root->AddNumberItem("n", 2);
    ASSERT_TRUE(root->Save(Dir.file("doc.json").c_str()));
    EXPECT_EQ(Dir.read("doc.json"), "{\n\t\"name\":\t\"A\",\n\t\"n\":\t2\n}");
    Ptr<JSON> loaded = Ptr<JSON>::Adopt(JSON::Load(Dir.file("doc.json").c_str()));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->GetItemByName("name")->Value, "A");
}

TEST_F(FileStreams, JSONLoadAndSaveFailures) {
    EXPECT_EQ(JSON::Load(Dir.file("missing.json").c_str()), nullptr);
    EXPECT_EQ(JSON::Load(Dir.path().c_str()), nullptr);
    ASSERT_TRUE(Dir.write("empty.json", ""));
    const char* error = nullptr;
    EXPECT_EQ(JSON::Load(Dir.file("empty.json").c_str(), &error), nullptr);
    EXPECT_STREQ(error, "Syntax Error: Invalid syntax");
    // A zero byte ends the text the reader sees.
    ASSERT_TRUE(Dir.write("nul.json", std::string("[\"a\0b\"]", 7)));
    EXPECT_EQ(JSON::Load(Dir.file("nul.json").c_str(), &error), nullptr);
    EXPECT_STREQ(error, "Syntax Error: Missing ending bracket");
    ASSERT_TRUE(Dir.write("nul2.json", std::string("{}\0garbage", 10)));
    EXPECT_TRUE(Ptr<JSON>::Adopt(JSON::Load(Dir.file("nul2.json").c_str())));

    Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::CreateObject());
    root->AppendString("k", "v");
    EXPECT_FALSE(root->Save(Dir.path().c_str()));
    EXPECT_FALSE(root->Save(Dir.file("no/such/folder.json").c_str()));
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_FALSE(root->Save("/dev/full"));
    }
}
