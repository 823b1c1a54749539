// File streams on a full disk, and JSON files saved whole or not at all.
#include "hmd/support/file.h"
#include "hmd/support/json.h"

#include "tests/hmd/support/support_fixture.h"

#include <atomic>
#include <filesystem>
#include <thread>

using Visor::File;
using Visor::SysFile;

namespace {

int WriteText(File& file, const std::string& text) {
    return file.Write(reinterpret_cast<const uint8_t*>(text.data()), int(text.size()));
}

Visor::Ptr<Visor::JSON> Doc(const std::string& text) {
    Visor::Ptr<Visor::JSON> root = Visor::Ptr<Visor::JSON>::Adopt(Visor::JSON::CreateObject());
    root->AppendString("t", text.c_str());
    return root;
}

} // namespace

using FileStreams = visor_test::SupportTest;

// The buffered layer writes and reads what the plain stream would, across its buffer size.
TEST_F(FileStreams, BufferedLayerWritesWhereTheCallerStands) {
    std::string data(3 * Visor::BufferedFile::BufferSize, 'a');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = char('a' + (i * 7 + i / 13) % 26);
    SysFile file(path("f").c_str(), 0xE | File::Open_Read | File::Open_Buffered);
    for (size_t offset = 0, piece = 1; offset < data.size(); offset += piece, piece *= 3)
        ASSERT_GT(WriteText(file, data.substr(offset, piece)), 0);
    uint8_t ten[10];
    EXPECT_TRUE(file.Seek(9000) == 9000 && file.Read(ten, 10) == 10 && WriteText(file, "XYZ") == 3);
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(read("f"), data.replace(9010, 3, "XYZ")) << "written after the read-ahead";
}

// A full disk: the stream reports it when data reaches the disk, and a failed save leaves the
// old file whole, says why, and leaves no temporary file behind.
TEST_F(FileStreams, FullDiskIsReportedAndASaveKeepsTheOldFile) {
    ASSERT_TRUE(write("doc.json", "old"));
    {
        visor_test::FileSizeLimit limit(100);
        SysFile file(path("f").c_str(), 0xE);
        EXPECT_TRUE(WriteText(file, std::string(200, 'x')) == 200 && !file.Flush()); // buffered
        EXPECT_EQ(file.GetErrorCode(), File::Error_DiskFull);
        ASSERT_TRUE(file.Open(path("g").c_str(), 0xE));
        EXPECT_TRUE(WriteText(file, std::string(200, 'x')) == 200 && !file.Close())
            << "a close that loses data must not report success";
        EXPECT_EQ(file.GetErrorCode(), File::Error_DiskFull);
        EXPECT_FALSE(Doc(std::string(5000, 'x'))->Save(path("doc.json").c_str()));
    }
    EXPECT_EQ(read("doc.json"), "old");
    EXPECT_NE(takeLog().find("cannot write \"" + path("doc.json") +
                             "\": File too large. The old file is unchanged"),
              std::string::npos);
    EXPECT_FALSE(Doc("x")->Save(path("no/such/doc.json").c_str()));
    EXPECT_FALSE(Doc("x")->Save(Dir.c_str()));
    EXPECT_NE(takeLog().find("No such file or directory"), std::string::npos);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Dir), {}), 3) << "no temporary";
}

TEST_F(FileStreams, SaveReadersSeeTheOldOrTheNewFileWhole) {
    Visor::Ptr<Visor::JSON> docs[] = {Doc("s"), Doc(std::string(100000, 'L'))};
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
    // A link stays a link; the file it names gets the new text.
    std::filesystem::create_symlink(path("doc.json"), path("link.json"));
    EXPECT_TRUE(docs[1]->Save(path("link.json").c_str()));
    EXPECT_TRUE(std::filesystem::is_symlink(path("link.json")));
    EXPECT_EQ(read("doc.json"), texts[1]);
}
