// FILEFile: the library's file stream over the C library's buffered streams, opened through
// POSIX so that only regular files open; and the whole-file replacement behind JSON saves.
#include "hmd/support/file.h"

#include "hmd/devices/log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace Visor {

namespace {

// The open(2) flags of the fopen mode ModeForFlags selects.
int SystemOpenFlags(int flags) {
    int access = (flags & FileConstants::Open_Read) ? O_RDWR : O_WRONLY;
    if (flags & FileConstants::Open_Truncate)
        return access | O_CREAT | O_TRUNC;
    if (flags & FileConstants::Open_Create)
        return access | O_CREAT | O_APPEND;
    if (flags & FileConstants::Open_Write)
        return O_RDWR;
    return O_RDONLY;
}

} // namespace

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
    // Without O_NONBLOCK a FIFO at the path would block the open until some writer came, and
    // a folder or device would open only to fail or block later; so the type is checked on
    // the open descriptor before anything reads. Close-on-exec keeps it from child programs.
    int fd = open(path, SystemOpenFlags(flags) | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        SetErrorFromErrno(errno);
        return;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ErrorCode = Error_IOError;
        ErrorText = "not a regular file";
        close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    pFile = fdopen(fd, ModeForFlags(flags));
    if (!pFile) {
        SetErrorFromErrno(errno);
        close(fd);
        return;
    }
    Opened = true;
}

void FILEFile::SetErrorFromErrno(int error) {
    ErrorCode = ErrorFromErrno(error);
    ErrorText = std::strerror(error);
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
    ErrorText = nullptr;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Whole-file replacement

namespace {

// Writes all of data to fd; false with errno set when a write fails.
bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        data += written;
        size -= size_t(written);
    }
    return true;
}

} // namespace

bool SysFile::ReplaceContents(const char* path, const uint8_t* data, size_t size) {
    if (!path || !*path) {
        ErrorToLog("Visor::SysFile - cannot write a file without a path.");
        return false;
    }
    // A link (a profile kept with the user's other settings elsewhere, say) stays a link: the
    // file it names is the one replaced, with the temporary beside it so rename stays atomic.
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path, nullptr), &std::free);
    const char* target = resolved ? resolved.get() : path;
    struct stat old;
    bool exists = stat(target, &old) == 0;
    // Renaming over a device or a pipe would replace it instead of writing to it.
    if (exists && !S_ISREG(old.st_mode)) {
        ErrorToLog("Visor::SysFile - cannot write \"%s\": it is not a regular file. Remove it or "
                   "choose another path.",
                   path);
        return false;
    }
    StringBuffer name;
    if (!name.AppendString(target) || !name.AppendString(".XXXXXX")) {
        ErrorToLog("Visor::SysFile - cannot write \"%s\": out of memory.", path);
        return false;
    }
    char* temporary = name.Release();
    if (!temporary) {
        ErrorToLog("Visor::SysFile - cannot write \"%s\": out of memory.", path);
        return false;
    }
    int fd = mkostemp(temporary, O_CLOEXEC);
    bool ok = fd >= 0;
    // The new file is private (mkstemp's mode) unless it replaces one with other permissions.
    if (ok && exists)
        fchmod(fd, old.st_mode & 07777);
    // fsync before rename: otherwise a crash could leave the new name on an empty file.
    ok = ok && WriteAll(fd, data, size) && fsync(fd) == 0;
    int error = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temporary, target) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        if (fd >= 0)
            unlink(temporary);
        ErrorToLog("Visor::SysFile - cannot write \"%s\": %s. The old file is unchanged; free some "
                   "disk space or make its folder writable, then try again.",
                   path, std::strerror(error));
    }
    std::free(temporary);
    return ok;
}

} // namespace Visor
