// The file interface on Windows: names in UTF-8 become UTF-16 for Windows'
// own calls, and a console event takes the place of a signal.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "system/files_platform.h"

namespace {

// The names come in UTF-8 (see console.h); Windows' own calls take UTF-16.
std::wstring widen(const std::string& text) {
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        length);
    return wide;
}

// The temporary file's whole name: the output's folder, then its own name.
std::wstring temporary_path(const NewFile& file) {
    const std::size_t folder_end = file.final_name.find_last_of("/\\:");
    const std::size_t folder_length = folder_end == std::string::npos ? 0 : folder_end + 1;
    return widen(file.final_name.substr(0, folder_length) + file.temporary_name);
}

HANDLE handle_of(int descriptor) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// The file being written, one at a time: where it is and where it goes, made
// before it exists, so that nothing allocates while it does. The console
// handler removes it; it runs on a thread of its own, and the lock keeps it
// and the main thread from changing the record, or the output's name, at the
// same time.
struct Unfinished {
    std::wstring temporary_path, final_path;
};
CRITICAL_SECTION unfinished_lock;
Unfinished unfinished;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&unfinished_lock);  // held until the process ends
    if (!unfinished.temporary_path.empty()) {
        DeleteFileW(unfinished.temporary_path.c_str());  // gone once the handle closes at exit
    }
    return FALSE;  // the default handler then ends the process as interrupted
}

// The file behind `handle`, and how many names it has.
FileIdentity identity_of(HANDLE handle, DWORD& names) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        return {};
    }
    names = information.nNumberOfLinks;
    return {information.dwVolumeSerialNumber,
            (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow, true};
}

// The file that stands at `path` itself, a link not followed.
FileIdentity identity_at(const std::wstring& path) {
    const HANDLE handle = CreateFileW(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    DWORD names = 0;
    const FileIdentity identity = identity_of(handle, names);
    CloseHandle(handle);
    return identity;
}

// Creates the temporary file under a new name, shared for deletion so that
// the console handler can remove it while it is open.
bool create_temporary_file(NewFile& file, std::wstring& final_path) {
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        make_temporary_name("", attempt, file.temporary_name);
        std::wstring path = temporary_path(file);
        EnterCriticalSection(&unfinished_lock);
        const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr,
                                          CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            unfinished.temporary_path.swap(path);
            unfinished.final_path.swap(final_path);
            file.descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY);
        }
        LeaveCriticalSection(&unfinished_lock);
        if (handle != INVALID_HANDLE_VALUE) {
            if (file.descriptor < 0) {  // no descriptor for the handle: the file goes
                CloseHandle(handle);
                discard_output(file);
            }
            return file.descriptor >= 0;
        }
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    file.temporary_name[0] = '\0';
    return false;
}

}  // namespace

void remove_unfinished_output_on_interrupt() {
    InitializeCriticalSection(&unfinished_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

InputStatus open_input(const std::string& name, InputFile& input) {
    const std::wstring path = widen(name);
    const int descriptor = _wopen(path.c_str(), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        return InputStatus::cannot_open;  // a folder cannot be opened as a file here
    }
    DWORD names = 0;
    const FileIdentity opened = identity_of(handle_of(descriptor), names);
    input.only_copy = names == 1 ? opened : FileIdentity{};
    attach_stream(input, descriptor);
    return InputStatus::opened;
}

std::int64_t read_descriptor(int descriptor, char* bytes, std::size_t count) {
    return _read(descriptor, bytes, static_cast<unsigned>(std::min<std::size_t>(count, 1u << 30)));
}

std::int64_t seek_descriptor(int descriptor, std::int64_t offset, int whence) {
    return _lseeki64(descriptor, offset, whence);
}

void close_input_descriptor(int descriptor) {
    _close(descriptor);
}

SaveStatus create_output(const std::string& output_name, const FileIdentity& archive_only_copy,
                         NewFile& file) {
    file.final_name = output_name;
    std::wstring final_path = widen(output_name);
    const DWORD attributes = GetFileAttributesW(final_path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
         same_file(identity_at(final_path), archive_only_copy))) {
        return SaveStatus::cannot_open;
    }
    return create_temporary_file(file, final_path) ? SaveStatus::saved : SaveStatus::cannot_open;
}

bool write_output(NewFile& file, const void* bytes, std::size_t count) {
    const char* next = static_cast<const char*>(bytes);
    while (count > 0) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle_of(file.descriptor), next, chunk, &written, nullptr) ||
            written == 0) {
            return false;
        }
        next += written;
        count -= written;
    }
    return true;
}

SaveStatus commit_output(NewFile& file) {
    const bool closed = _close(file.descriptor) == 0;
    file.descriptor = -1;
    if (!closed) {
        discard_output(file);
        return SaveStatus::cannot_write;
    }
    EnterCriticalSection(&unfinished_lock);
    const bool moved = MoveFileExW(unfinished.temporary_path.c_str(), unfinished.final_path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING) != 0;
    if (moved) {
        unfinished.temporary_path.clear();
        file.temporary_name[0] = '\0';
    }
    LeaveCriticalSection(&unfinished_lock);
    if (!moved) {
        discard_output(file);
        return SaveStatus::cannot_open;
    }
    return SaveStatus::saved;
}

void discard_output(NewFile& file) {
    if (file.descriptor >= 0) {
        _close(file.descriptor);
        file.descriptor = -1;
    }
    if (file.temporary_name[0] != '\0') {
        EnterCriticalSection(&unfinished_lock);
        DeleteFileW(unfinished.temporary_path.c_str());
        unfinished.temporary_path.clear();
        LeaveCriticalSection(&unfinished_lock);
        file.temporary_name[0] = '\0';
    }
}
