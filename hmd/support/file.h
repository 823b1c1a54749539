// File streams of the HMD library: the reference-counted File interface, the stdio-backed
// FILEFile, the forwarding DelegatedFile, the always-failing UnopenedFile, the BufferedFile
// layer, and SysFile, which callers open by path.
//
// Threads: a stream object belongs to one thread at a time; the classes hold no locks.
#pragma once

#include "hmd/devices/refcount.h"
#include "hmd/devices/visor_string.h"

#include <cstdint>
#include <cstdio>

namespace Visor {

class FileConstants {
public:
    enum OpenFlags {
        Open_Read = 1,
        Open_Write = 2,
        Open_Truncate = 4,
        Open_Create = 8,
        Open_Buffered = 32,
    };
    enum Errors {
        Error_None = 0,
        Error_FileNotFound = 0x1001,
        Error_Access = 0x1002,
        Error_IOError = 0x1003,
        Error_DiskFull = 0x1004,
    };
    enum SeekOrigin {
        Seek_Set = 0,
        Seek_Cur = 1,
        Seek_End = 2,
    };

    // The file error code for a C library error number (errno).
    static int ErrorFromErrno(int error);
};

// Counts are signed: -1 reports failure where an operation returns a count or a position.
class File : public RefCountBase<File>, public FileConstants {
public:
    ~File() override = default;

    // The path the stream was opened with, or null when there is none.
    virtual const char* GetFilePath() = 0;
    virtual bool IsValid() = 0;
    virtual bool IsWritable() = 0;
    virtual int Tell() = 0;
    virtual int64_t Tell64() = 0;
    virtual int GetLength() = 0;
    virtual int64_t GetLength64() = 0;
    virtual int GetErrorCode() = 0;
    virtual int Write(const uint8_t* data, int count) = 0;
    virtual int Read(uint8_t* buffer, int count) = 0;
    virtual int Skip(int count) = 0;
    virtual int Available() = 0;
    virtual bool Flush() = 0;
    virtual int Seek(int offset, int origin = Seek_Set) = 0;
    virtual int64_t Seek64(int64_t offset, int origin = Seek_Set) = 0;
    // Copies up to count bytes from source to this stream; the number copied, or -1.
    virtual int CopyFrom(File* source, int count) = 0;
    virtual bool Close() = 0;

protected:
    // CopyFrom through a stack buffer: reads from source and writes to this stream until count
    // bytes are copied, the source runs dry or a write falls short.
    int CopyInChunks(File* source, int count);
};

// A stream over the C library's buffered file functions; opens at construction. Only a regular
// file (or a link to one) opens: anything else fails at once with Error_IOError.
class FILEFile : public File {
public:
    FILEFile(const char* path, int flags);
    ~FILEFile() override;

    const char* GetFilePath() override { return FileName.ToCStr(); }
    bool IsValid() override { return Opened; }
    bool IsWritable() override { return Opened && (OpenFlags & Open_Write); }
    int Tell() override;
    int64_t Tell64() override;
    int GetLength() override;
    int64_t GetLength64() override;
    int GetErrorCode() override { return ErrorCode; }
    int Write(const uint8_t* data, int count) override;
    int Read(uint8_t* buffer, int count) override;
    int Skip(int count) override;
    int Available() override;
    bool Flush() override;
    int Seek(int offset, int origin = Seek_Set) override;
    int64_t Seek64(int64_t offset, int origin = Seek_Set) override;
    int CopyFrom(File* source, int count) override;
    bool Close() override;

    // Why the last operation failed, for log lines (the system's error text); null when none did.
    const char* GetErrorText() const { return ErrorText; }

    // The stdio mode the flags select; the descriptor is opened with the matching flags.
    static const char* ModeForFlags(int flags);

private:
    enum LastOperation { Op_None = 0, Op_Read = 1, Op_Write = 2 };
    void SwitchTo(LastOperation op);
    void SetErrorFromErrno(int error);

    String FileName;
    bool Opened = false;
    std::FILE* pFile = nullptr;
    int OpenFlags = 0;
    int ErrorCode = Error_None;
    LastOperation LastOp = Op_None;
    const char* ErrorText = nullptr;
};

// Forwards every operation to the underlying file, which it holds a reference to.
class DelegatedFile : public File {
public:
    // Takes a reference on file.
    explicit DelegatedFile(File* file) : pFile(file) {}

    const char* GetFilePath() override { return pFile->GetFilePath(); }
    bool IsValid() override { return pFile->IsValid(); }
    bool IsWritable() override { return pFile->IsWritable(); }
    int Tell() override { return pFile->Tell(); }
    int64_t Tell64() override { return pFile->Tell64(); }
    int GetLength() override { return pFile->GetLength(); }
    int64_t GetLength64() override { return pFile->GetLength64(); }
    int GetErrorCode() override { return pFile->GetErrorCode(); }
    int Write(const uint8_t* data, int count) override { return pFile->Write(data, count); }
    int Read(uint8_t* buffer, int count) override { return pFile->Read(buffer, count); }
    int Skip(int count) override { return pFile->Skip(count); }
    int Available() override { return pFile->Available(); }
    bool Flush() override { return pFile->Flush(); }
    int Seek(int offset, int origin = Seek_Set) override { return pFile->Seek(offset, origin); }
    int64_t Seek64(int64_t offset, int origin = Seek_Set) override {
        return pFile->Seek64(offset, origin);
    }
    int CopyFrom(File* source, int count) override { return pFile->CopyFrom(source, count); }
    bool Close() override { return pFile->Close(); }

protected:
    DelegatedFile() = default;

    Ptr<File> pFile;
};

// Stands in for a file that is not open: every operation fails. It reports file-not-found,
// or the error of the failed open it replaces.
class UnopenedFile : public File {
public:
    explicit UnopenedFile(int errorCode = Error_FileNotFound) : ErrorCode(errorCode) {}

    const char* GetFilePath() override { return nullptr; }
    bool IsValid() override { return false; }
    bool IsWritable() override { return false; }
    int Tell() override { return 0; }
    int64_t Tell64() override { return 0; }
    int GetLength() override { return 0; }
    int64_t GetLength64() override { return 0; }
    int GetErrorCode() override { return ErrorCode; }
    int Write(const uint8_t*, int) override { return -1; }
    int Read(uint8_t*, int) override { return -1; }
    int Skip(int) override { return 0; }
    int Available() override { return 0; }
    bool Flush() override { return false; }
    int Seek(int, int = Seek_Set) override { return -1; }
    int64_t Seek64(int64_t, int = Seek_Set) override { return -1; }
    int CopyFrom(File*, int) override { return -1; }
    bool Close() override { return false; }

    // The shared instance that stands behind every closed SysFile; it is never deleted.
    static File* GetShared();

private:
    int ErrorCode;
};

// Reads ahead and gathers writes in one 8184-byte buffer in front of the underlying file.
// Switching between reading and writing, seeking and closing settle the buffer first.
class BufferedFile : public DelegatedFile {
public:
    // Takes a reference on file; reads and writes continue at file's current position.
    explicit BufferedFile(File* file);
    ~BufferedFile() override;

    int Tell() override;
    int64_t Tell64() override;
    int GetLength() override;
    int64_t GetLength64() override;
    int Write(const uint8_t* data, int count) override;
    int Read(uint8_t* buffer, int count) override;
    int Skip(int count) override;
    int Available() override;
    bool Flush() override;
    int Seek(int offset, int origin = Seek_Set) override;
    int64_t Seek64(int64_t offset, int origin = Seek_Set) override;
    int CopyFrom(File* source, int count) override;
    bool Close() override;

    enum { BufferSize = 8184 };

private:
    enum Mode { Mode_None, Mode_Reading, Mode_Writing };
    // Writes pending bytes out, or gives back read-ahead bytes by seeking the file back.
    bool SettleBuffer();

    Mode BufferMode = Mode_None;
    int FillSize = 0; // bytes held in the buffer
    int Pos = 0;      // read position within the buffer
    int64_t FilePos;  // the underlying file's position at the start of the buffer
    uint8_t Buffer[BufferSize];
};

// The stream callers open by path; an UnopenedFile stands behind it whenever it is not open.
// A failed open keeps its error code (not found, access denied, ...) until the next Open.
class SysFile : public DelegatedFile {
public:
    SysFile() : DelegatedFile(UnopenedFile::GetShared()) {}
    SysFile(const char* path, int flags) : SysFile() { Open(path, flags); }
    ~SysFile() override;

    // Closes a file still open, then opens path; false when it cannot be opened.
    bool Open(const char* path, int flags);
    // False when nothing was open or when closing failed (for example pending data could not
    // be written); the stream is closed either way.
    bool Close() override;
    // Why the last Open failed, for log lines; null after a successful one.
    const char* GetOpenErrorText() const { return OpenErrorText; }

    // Replaces the file at path with size bytes of data: they go to a new file in the same
    // folder, which is flushed to the disk and renamed over path, so a reader sees the old
    // contents or the new ones, whole. False with a log line when that fails; the old file
    // then stays as it was and no new file is left behind. A path that exists but is no
    // regular file (a folder, a device, a pipe) is refused. Any thread may call it.
    static bool ReplaceContents(const char* path, const uint8_t* data, size_t size);

private:
    void SetUnopened(int errorCode);

    const char* OpenErrorText = nullptr;
};

} // namespace Visor
