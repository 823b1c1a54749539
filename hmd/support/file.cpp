// Portable file streams: the error mapping, UnopenedFile's shared instance, BufferedFile and
// SysFile. The stdio-backed FILEFile is in posix_file.cpp.
#include "hmd/support/file.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace Visor {

int File::CopyInChunks(File* source, int count) {
    if (!source || count < 0)
        return -1;
    uint8_t chunk[4096];
    int total = 0;
    while (total < count) {
        int want = count - total < int(sizeof(chunk)) ? count - total : int(sizeof(chunk));
        int n = source->Read(chunk, want);
        if (n <= 0)
            break;
        int written = Write(chunk, n);
        if (written > 0)
            total += written;
        if (written != n)
            break;
    }
    return total;
}

int FileConstants::ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
        return Error_FileNotFound;
    case EACCES:
    case EPERM:
    case EROFS: // a read-only file system refuses writing just as permissions do
        return Error_Access;
    case ENOSPC:
    case EDQUOT: // an exhausted quota is a full disk for this user
    case EFBIG:  // so is a file at the size limit: no more data fits
        return Error_DiskFull;
    default:
        return Error_IOError;
    }
}

File* UnopenedFile::GetShared() {
    // Built in place and never destroyed, so SysFiles that outlive static destruction can
    // still release their reference to it.
    alignas(UnopenedFile) static unsigned char storage[sizeof(UnopenedFile)];
    static UnopenedFile* shared = new (storage) UnopenedFile();
    return shared;
}

// ---------------------------------------------------------------------------------------------
// BufferedFile
//
// While reading, the underlying file stands at FilePos + FillSize and the caller at
// FilePos + Pos. While writing, the underlying file stands at FilePos and the caller at
// FilePos + FillSize.

BufferedFile::BufferedFile(File* file) : DelegatedFile(file), FilePos(file->Tell64()) {}

BufferedFile::~BufferedFile() {
    SettleBuffer();
}

bool BufferedFile::SettleBuffer() {
    bool ok = true;
    if (BufferMode == Mode_Writing && FillSize > 0) {
        int written = pFile->Write(Buffer, FillSize);
        if (written > 0)
            FilePos += written;
        ok = written == FillSize;
    } else if (BufferMode == Mode_Reading && Pos != FillSize) {
        FilePos += Pos;
        ok = pFile->Seek64(FilePos, Seek_Set) == FilePos;
    } else if (BufferMode == Mode_Reading) {
        FilePos += FillSize;
    }
    BufferMode = Mode_None;
    FillSize = Pos = 0;
    return ok;
}

int BufferedFile::Read(uint8_t* buffer, int count) {
    if (count < 0 || !pFile->IsValid())
        return -1;
    if (BufferMode == Mode_Writing && !SettleBuffer())
        return -1;
    BufferMode = Mode_Reading;
    int total = 0;
    while (total < count) {
        int held = FillSize - Pos;
        if (held > 0) {
            int n = held < count - total ? held : count - total;
            std::memcpy(buffer + total, Buffer + Pos, size_t(n));
            Pos += n;
            total += n;
            continue;
        }
        // Buffer used up: large remainders go straight to the file, small ones refill it.
        FilePos += FillSize;
        FillSize = Pos = 0;
        if (count - total >= BufferSize) {
            int n = pFile->Read(buffer + total, count - total);
            if (n > 0) {
                FilePos += n;
                total += n;
            }
            break;
        }
        int n = pFile->Read(Buffer, BufferSize);
        if (n <= 0)
            break;
        FillSize = n;
    }
    return total;
}

int BufferedFile::Write(const uint8_t* data, int count) {
    if (count < 0 || !pFile->IsWritable())
        return -1;
    if (BufferMode == Mode_Reading && !SettleBuffer())
        return -1;
    BufferMode = Mode_Writing;
    if (count > BufferSize - FillSize) {
        if (!SettleBuffer())
            return -1;
        BufferMode = Mode_Writing;
        if (count >= BufferSize) {
            int n = pFile->Write(data, count);
            if (n > 0)
                FilePos += n;
            return n;
        }
    }
    std::memcpy(Buffer + FillSize, data, size_t(count));
    FillSize += count;
    return count;
}

int64_t BufferedFile::Tell64() {
    if (BufferMode == Mode_Reading)
        return FilePos + Pos;
    if (BufferMode == Mode_Writing)
        return FilePos + FillSize;
    return FilePos;
}

int BufferedFile::Tell() {
    return int(Tell64());
}

int64_t BufferedFile::GetLength64() {
    SettleBuffer();
    return pFile->GetLength64();
}

int BufferedFile::GetLength() {
    return int(GetLength64());
}

int BufferedFile::Available() {
    if (BufferMode == Mode_Reading)
        return (FillSize - Pos) + pFile->Available();
    SettleBuffer();
    return pFile->Available();
}

int BufferedFile::Skip(int count) {
    int64_t start = Tell64();
    int64_t end = Seek64(count, Seek_Cur);
    return end < 0 ? -1 : int(end - start);
}

bool BufferedFile::Flush() {
    bool settled = SettleBuffer();
    return pFile->Flush() && settled;
}

int64_t BufferedFile::Seek64(int64_t offset, int origin) {
    if (origin == Seek_Cur) {
        offset += Tell64();
        origin = Seek_Set;
    }
    SettleBuffer();
    int64_t result = pFile->Seek64(offset, origin);
    FilePos = result >= 0 ? result : pFile->Tell64();
    return result;
}

int BufferedFile::Seek(int offset, int origin) {
    return int(Seek64(offset, origin));
}

int BufferedFile::CopyFrom(File* source, int count) {
    return CopyInChunks(source, count);
}

bool BufferedFile::Close() {
    bool settled = SettleBuffer();
    return pFile->Close() && settled;
}

// ---------------------------------------------------------------------------------------------
// SysFile

SysFile::~SysFile() {
    if (IsValid())
        Close();
}

void SysFile::SetUnopened(int errorCode) {
    File* unopened = nullptr;
    if (errorCode != Error_FileNotFound)
        unopened = new UnopenedFile(errorCode);
    if (unopened)
        pFile = Ptr<File>::Adopt(unopened);
    else
        pFile = Ptr<File>(UnopenedFile::GetShared());
}

bool SysFile::Open(const char* path, int flags) {
    if (IsValid())
        Close();
    FILEFile* opened = new FILEFile(path, flags);
    Ptr<File> file = Ptr<File>::Adopt(opened);
    OpenErrorText = nullptr;
    if (!file) {
        OpenErrorText = "out of memory";
        SetUnopened(Error_IOError);
        return false;
    }
    if (!file->IsValid()) {
        OpenErrorText = opened->GetErrorText();
        SetUnopened(file->GetErrorCode());
        return false;
    }
    if (flags & Open_Buffered) {
        // Without memory for the buffer the plain stream still does the job.
        Ptr<File> buffered = Ptr<File>::Adopt(new BufferedFile(file.GetPtr()));
        if (buffered)
            file = buffered;
    }
    pFile = file;
    return true;
}

bool SysFile::Close() {
    if (!IsValid())
        return false;
    bool closed = pFile->Close();
    SetUnopened(closed ? Error_FileNotFound : pFile->GetErrorCode());
    return closed;
}

} // namespace Visor
