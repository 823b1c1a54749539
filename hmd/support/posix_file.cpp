// FILEFile: the library's file stream over the C library's buffered streams, with the POSIX
// calls that keep a directory from being opened as a file.
#include "hmd/support/file.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <sys/stat.h>

namespace Visor {

const char* FILEFile::ModeForFlags(int flags) {
    if (flags & Open_Truncate)
        return (flags & Open_Read) ? "w+b" : "wb";
    if (flags & Open_Create)
        return (flags & Open_Read) ? "a+b" : "ab";
    if (flags & Open_Write)
        return "r+b";
    return "rb";
}

FILEFile::FILEFile(const char* path, int flags) : FileName(path), OpenFlags(flags) {
    if (!path || !*path) {
        ErrorCode = Error_FileNotFound;
        return;
    }
    // "e" (close-on-exec) keeps the descriptor out of programs the process may start.
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%se", ModeForFlags(flags));
    pFile = std::fopen(path, mode);
    if (!pFile) {
        SetErrorFromErrno(errno);
        return;
    }
    // fopen accepts a directory for reading; every later read would fail, so refuse it here.
    struct stat info;
    if (fstat(fileno(pFile), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(pFile);
        pFile = nullptr;
        SetErrorFromErrno(EISDIR);
        return;
    }
    Opened = true;
}

FILEFile::~FILEFile() {
    if (pFile)
        std::fclose(pFile);
}

void FILEFile::SwitchTo(LastOperation op) {
    // The C library needs a flush or a seek between writing and reading on one stream; a seek
    // to the current position covers both directions (and flushes pending output).
    if (LastOp != Op_None && LastOp != op) {
        if (LastOp == Op_Write && std::fflush(pFile) != 0)
            SetErrorFromErrno(errno);
        else if (LastOp == Op_Read)
            fseeko(pFile, 0, SEEK_CUR);
    }
    LastOp = op;
}

int64_t FILEFile::Tell64() {
    if (!pFile)
        return -1;
    off_t position = ftello(pFile);
    if (position < 0)
        SetErrorFromErrno(errno);
    return int64_t(position);
}

int FILEFile::Tell() {
    return int(Tell64());
}

int64_t FILEFile::GetLength64() {
    if (!pFile)
        return -1;
    off_t position = ftello(pFile);
    if (position < 0 || fseeko(pFile, 0, SEEK_END) != 0) {
        SetErrorFromErrno(errno);
        return -1;
    }
    off_t length = ftello(pFile);
    if (length < 0)
        SetErrorFromErrno(errno);
    if (fseeko(pFile, position, SEEK_SET) != 0)
        SetErrorFromErrno(errno);
    LastOp = Op_None;
    return int64_t(length);
}

int FILEFile::GetLength() {
    int64_t length = GetLength64();
    // A length beyond 32 bits is reported as a failure rather than a wrapped value.
    return length > INT_MAX ? -1 : int(length);
}

int FILEFile::Write(const uint8_t* data, int count) {
    if (!pFile || count < 0 || (count > 0 && !data))
        return -1;
    SwitchTo(Op_Write);
    errno = 0;
    size_t written = std::fwrite(data, 1, size_t(count), pFile);
    if (written < size_t(count)) {
        SetErrorFromErrno(errno);
        std::clearerr(pFile);
    }
    return int(written);
}

int FILEFile::Read(uint8_t* buffer, int count) {
    if (!pFile || count < 0 || (count > 0 && !buffer))
        return -1;
    SwitchTo(Op_Read);
    errno = 0;
    size_t got = std::fread(buffer, 1, size_t(count), pFile);
    if (got < size_t(count)) {
        // Reaching the end is not an error; only a failed read sets the code.
        if (std::ferror(pFile))
            SetErrorFromErrno(errno);
        std::clearerr(pFile);
    }
    return int(got);
}

int FILEFile::Skip(int count) {
    if (!pFile)
        return -1;
    int64_t start = Tell64();
    int64_t length = GetLength64();
    if (start < 0 || length < 0)
        return -1;
    int64_t target = start + count;
    if (target > length)
        target = length;
    if (target < 0)
        target = 0;
    int64_t end = Seek64(target, Seek_Set);
    return end < 0 ? -1 : int(end - start);
}

int FILEFile::Available() {
    int64_t position = Tell64();
    int64_t length = GetLength64();
    if (position < 0 || length < position)
        return 0;
    int64_t left = length - position;
    return left > INT_MAX ? INT_MAX : int(left);
}

bool FILEFile::Flush() {
    if (!pFile)
        return false;
    if (std::fflush(pFile) != 0) {
        SetErrorFromErrno(errno);
        return false;
    }
    return true;
}

int64_t FILEFile::Seek64(int64_t offset, int origin) {
    if (!pFile)
        return -1;
    int whence = origin == Seek_Cur ? SEEK_CUR : origin == Seek_End ? SEEK_END : SEEK_SET;
    if (origin < Seek_Set || origin > Seek_End) {
        ErrorCode = Error_IOError;
        return -1;
    }
    if (fseeko(pFile, off_t(offset), whence) != 0) {
        SetErrorFromErrno(errno);
        return -1;
    }
    LastOp = Op_None;
    return Tell64();
}

int FILEFile::Seek(int offset, int origin) {
    return int(Seek64(offset, origin));
}

int FILEFile::CopyFrom(File* source, int count) {
    if (!pFile || !source || count < 0)
        return -1;
    return CopyInChunks(source, count);
}

bool FILEFile::Close() {
    if (!pFile)
        return false;
    // The stream is gone after fclose even when it fails (pending data could not be written),
    // so it is forgotten either way and only the error code tells the difference.
    int result = std::fclose(pFile);
    int error = errno;
    pFile = nullptr;
    Opened = false;
    LastOp = Op_None;
    if (result != 0) {
        SetErrorFromErrno(error);
        return false;
    }
    ErrorCode = Error_None;
    return true;
}

} // namespace Visor
