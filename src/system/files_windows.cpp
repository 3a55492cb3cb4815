// The file interface on Windows: names in UTF-8 become UTF-16 for Windows'
// own calls, and a console event takes the place of a signal.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <string>

#include "system/files_platform.h"
#include "system/utf16_windows.h"

namespace {

// The temporary file's whole name: the output's folder, then its own name.
std::wstring temporary_path(const NewFile& file) {
    const std::size_t folder_end = file.output_name.find_last_of("/\\:");
    const std::size_t folder_length = folder_end == std::string::npos ? 0 : folder_end + 1;
    return widen(file.output_name.substr(0, folder_length) + file.temporary_name);
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

// Ends the process at once, whatever the main thread is doing, with the
// status Windows gives a program that Ctrl-C ends, so that scripts see it.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&unfinished_lock);  // held until the process ends
    if (!unfinished.temporary_path.empty()) {
        DeleteFileW(unfinished.temporary_path.c_str());  // gone once the handle closes at exit
    }
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

// The file or folder that stands at `path` itself, a link not followed,
// opened for `access` (0: only to ask about it) beside anyone else's use.
HANDLE open_existing(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Whether this user may write the file at `path`, as the system decides it
// (its access control list, its read-only attribute), asked by opening it for
// writing, which changes nothing in it.
bool may_write(const std::wstring& path) {
    const HANDLE handle = open_existing(path, FILE_WRITE_DATA);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

// Wine's access control lists only mirror Unix permissions, and setting one
// rewrites them (a file of mode 0600 became 0775): there the permissions that
// a new file gets stand, as for any new file.
bool runs_under_wine() {
    const HMODULE system = GetModuleHandleW(L"ntdll.dll");
    return system != nullptr && GetProcAddress(system, "wine_get_version") != nullptr;
}

// What a replaced output keeps of the old file, as a file that Windows itself
// replaces keeps them: its attributes, and its access control list where this
// user may set it (best effort: the new file then has the folder's). Both are
// set on the complete file before it takes the output's name, in one rename.
// ReplaceFileW would carry them over too, but some of its failures leave the
// old file under another name; a rename either happens or not.
void carry_over_attributes_and_security(const NewFile& file, HANDLE handle) {
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};  // times of 0 stay as they are
    basic.FileAttributes =
        file.replaced.present ? file.replaced.attributes & kept : FILE_ATTRIBUTE_ARCHIVE;
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // 0 would mean "unchanged": still hidden
    }
    SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;
    if (!file.replaced.present || runs_under_wine() ||
        GetNamedSecurityInfoW(unfinished.final_path.c_str(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION, nullptr, nullptr, &list, nullptr,
                              &security) != ERROR_SUCCESS) {
        return;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(security, &control, &revision);
    // An inherited list stays inherited, from the same folder.
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    SetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr, nullptr, list, nullptr);
    LocalFree(security);
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
    const HANDLE handle = open_existing(path, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        return {};
    }
    DWORD names = 0;
    const FileIdentity identity = identity_of(handle, names);
    CloseHandle(handle);
    return identity;
}

// Creates the temporary file under a new name, hidden so that Explorer does
// not show it while it is written, and shared for deletion so that the
// console handler can remove it while it is open.
bool create_temporary_file(NewFile& file, std::wstring& final_path) {
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        make_temporary_name(attempt, file.temporary_name);
        std::wstring path = temporary_path(file);
        EnterCriticalSection(&unfinished_lock);
        const HANDLE handle =
            CreateFileW(path.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC, FILE_SHARE_DELETE,
                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
        const DWORD error = GetLastError();
        if (handle != INVALID_HANDLE_VALUE) {
            unfinished.temporary_path.swap(path);
            unfinished.final_path.swap(final_path);
            file.name = NewFileName::temporary;
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
    // A pipe, a console or any other device (COM1, NUL, \\.\...) is never
    // read, so never waited on.
    LARGE_INTEGER size{};
    if (GetFileType(handle_of(descriptor)) != FILE_TYPE_DISK ||
        !GetFileSizeEx(handle_of(descriptor), &size)) {
        _close(descriptor);
        return InputStatus::not_regular_file;
    }
    input.size = static_cast<std::uint64_t>(size.QuadPart);
    DWORD names = 0;
    const FileIdentity opened = identity_of(handle_of(descriptor), names);
    input.only_copy = names == 1 ? opened : FileIdentity{};
    attach_stream(input, descriptor);
    return InputStatus::opened;
}

std::int64_t read_descriptor(int descriptor, char* bytes, std::size_t count) {
    return _read(descriptor, bytes, static_cast<unsigned>(std::min<std::size_t>(count, 1u << 30)));
}

std::int64_t seek_descriptor(int descriptor, std::int64_t offset) {
    return _lseeki64(descriptor, offset, SEEK_SET);
}

void close_input_descriptor(int descriptor) {
    _close(descriptor);
}

SaveStatus create_output(const std::string& output_name, const FileIdentity& archive_only_copy,
                         NewFile& file) {
    file.output_name = output_name;
    std::wstring final_path = widen(output_name);
    const DWORD attributes = GetFileAttributesW(final_path.c_str());
    // A link at the name is replaced as it stands; a file keeps what it has.
    const bool old_file =
        attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
         same_file(identity_at(final_path), archive_only_copy) ||
         (old_file && !may_write(final_path)))) {
        return SaveStatus::cannot_open;
    }
    file.replaced.present = old_file;
    file.replaced.attributes = attributes;
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
    carry_over_attributes_and_security(file, handle_of(file.descriptor));
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
        file.name = NewFileName::none;
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
    if (file.name == NewFileName::temporary) {
        EnterCriticalSection(&unfinished_lock);
        DeleteFileW(unfinished.temporary_path.c_str());
        unfinished.temporary_path.clear();
        LeaveCriticalSection(&unfinished_lock);
        file.name = NewFileName::none;
    }
}
