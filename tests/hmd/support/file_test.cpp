// File streams on the real file system: failed opens, modes and positions, the buffering
// layer and full-disk failures; JSON files saved whole or not at all.
#include "hmd/support/file.h"
#include "hmd/support/json.h"

#include "tests/hmd/support/support_fixture.h"

#include <atomic>
#include <dirent.h>
#include <sys/stat.h>
#include <thread>
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
    text.resize(size_t(std::max(0, file.Read(reinterpret_cast<uint8_t*>(&text[0]), count))));
    return text;
}

} // namespace

using FileStreams = visor_test::SupportTest;

TEST_F(FileStreams, FailedOpensReportTheirCode) {
    ASSERT_TRUE(write("locked", "x") && write("b", "B"));
    chmod(path("locked").c_str(), 0);
    // Root passes permission bits, so it needs a file the kernel refuses to everyone.
    std::string locked = geteuid() == 0 ? "/sys/kernel/notes" : path("locked");
    const struct {
        std::string path;
        int flags, code;
    } rows[] = {{path("missing"), File::Open_Read, File::Error_FileNotFound},
                {path("no/such"), 0xE, File::Error_FileNotFound},
                {Dir, File::Open_Read, File::Error_IOError},
                {locked, File::Open_Write, File::Error_Access}};
    for (const auto& row : rows) {
        SysFile file(path("b").c_str(), File::Open_Read); // a reopen closes it first
        if (file.Open(row.path.c_str(), row.flags) && row.code == File::Error_Access)
            continue; // nothing refuses root here
        EXPECT_EQ(file.GetErrorCode(), row.code) << row.path;
        EXPECT_TRUE(file.GetOpenErrorText() && file.Read(nullptr, 0) == -1 && !file.Close());
    }
}

TEST_F(FileStreams, ModesAndPositions) {
    ASSERT_TRUE(write("f", "old contents"));
    SysFile file(path("f").c_str(), File::Open_Write | File::Open_Truncate | File::Open_Create);
    EXPECT_EQ(WriteText(file, "01234"), 5);
    ASSERT_TRUE(file.Open(path("f").c_str(), File::Open_Write | File::Open_Create)); // appends
    EXPECT_EQ(WriteText(file, "56789"), 5);
    ASSERT_TRUE(file.Open(path("f").c_str(), File::Open_Read));
    EXPECT_EQ(WriteText(file, "x"), 0);
    ASSERT_TRUE(file.Open(path("f").c_str(), File::Open_Read | File::Open_Write));
    EXPECT_EQ(WriteText(file, "AB"), 2);
    EXPECT_EQ(ReadText(file, 3), "234"); // reading right after writing
    EXPECT_EQ(WriteText(file, "X"), 1);
    EXPECT_EQ(file.Seek(-3, File::Seek_End), 7);
    EXPECT_EQ(file.Available(), 3);
    EXPECT_EQ(file.Skip(100), 3); // stops at the end
    EXPECT_EQ(file.Seek(0, 7), -1);
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(read("f"), "AB234X6789");
}

// The buffered layer must read and write exactly what the plain stream would.
TEST_F(FileStreams, BufferedLayerReadsSeeksAndWritesAcrossItsBuffer) {
    std::string data(3 * Visor::BufferedFile::BufferSize + 123, 'a');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char('a' + (i * 7 + i / 13) % 26);
    SysFile file(path("f").c_str(), 0xE | File::Open_Read | File::Open_Buffered);
    for (size_t offset = 0, piece = 1; offset < data.size(); offset += piece, piece *= 3)
        ASSERT_GT(WriteText(file, data.substr(offset, piece)), 0);
    EXPECT_EQ(file.Seek(0), 0);
    EXPECT_EQ(ReadText(file, 10), data.substr(0, 10));
    // Writing after read-ahead goes where the caller stands, not where the file was read to.
    ASSERT_EQ(WriteText(file, "XYZ"), 3);
    data.replace(10, 3, "XYZ");
    EXPECT_EQ(file.Skip(5), 5);
    EXPECT_EQ(ReadText(file, 9000), data.substr(18, 9000));
    EXPECT_EQ(file.Seek(-4, File::Seek_Cur), 9014);
    EXPECT_EQ(ReadText(file, 12), data.substr(9014, 12));
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(read("f"), data);
    {
        SysFile source(path("f").c_str(), File::Open_Read);
        SysFile target(path("g").c_str(), 0xE | File::Open_Buffered);
        EXPECT_EQ(target.CopyFrom(&source, 100000), int(data.size()));
        WriteText(target, "kept"); // written when the stream goes
    }
    EXPECT_EQ(read("g"), data + "kept");
}

TEST_F(FileStreams, FullDiskIsReportedWhenDataReachesIt) {
    visor_test::FileSizeLimit limit(2);
    SysFile file(path("f").c_str(), 0xE);
    EXPECT_EQ(WriteText(file, "data"), 4); // buffered: the failure shows at flush or close
    EXPECT_FALSE(file.Flush());
    EXPECT_EQ(file.GetErrorCode(), File::Error_DiskFull);
    ASSERT_TRUE(file.Open(path("g").c_str(), 0xE));
    EXPECT_EQ(WriteText(file, "data"), 4);
    EXPECT_FALSE(file.Close()) << "a close that loses data must not report success";
    EXPECT_EQ(file.GetErrorCode(), File::Error_DiskFull);
}

class JSONFiles : public visor_test::SupportTest {
protected:
    Ptr<JSON> Doc(const std::string& text) {
        Ptr<JSON> root = Ptr<JSON>::Adopt(JSON::CreateObject());
        root->AppendString("t", text.c_str());
        return root;
    }
};

TEST_F(JSONFiles, FailedSaveLeavesTheOldFileWholeAndSaysWhy) {
    ASSERT_TRUE(write("doc.json", "old"));
    {
        visor_test::FileSizeLimit limit(100);
        EXPECT_FALSE(Doc(std::string(5000, 'x'))->Save(path("doc.json").c_str()));
    }
    EXPECT_EQ(read("doc.json"), "old");
    EXPECT_NE(takeLog().find("cannot write \"" + path("doc.json") +
                             "\": File too large. The old file is unchanged"),
              std::string::npos);
    EXPECT_FALSE(Doc("x")->Save(path("no/such/doc.json").c_str()));
    EXPECT_NE(takeLog().find("No such file or directory"), std::string::npos);
    EXPECT_FALSE(Doc("x")->Save(Dir.c_str()));
    int entries = 0;
    DIR* folder = opendir(Dir.c_str());
    while (dirent* entry = readdir(folder))
        entries += entry->d_name[0] != '.';
    closedir(folder);
    EXPECT_EQ(entries, 1) << "no temporary file may stay";
}

TEST_F(JSONFiles, ReadersSeeTheOldOrTheNewFileWhole) {
    Ptr<JSON> docs[] = {Doc("s"), Doc(std::string(100000, 'L'))};
    const std::string texts[] = {"{\n\t\"t\":\t\"s\"\n}",
                                 "{\n\t\"t\":\t\"" + std::string(100000, 'L') + "\"\n}"};
    ASSERT_TRUE(docs[0]->Save(path("doc.json").c_str()));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        for (std::string text = texts[0]; !stop; text = read("doc.json"))
            torn += text != texts[0] && text != texts[1];
    });
    for (int i = 1; i <= 100; ++i)
        EXPECT_TRUE(docs[i % 2]->Save(path("doc.json").c_str()));
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(Ptr<JSON>::Adopt(JSON::Load(path("doc.json").c_str()))->GetFirstItem()->Value, "s");
}
