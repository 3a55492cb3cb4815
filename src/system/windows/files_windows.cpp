// The file interface on Windows: names in UTF-8 become UTF-16 for Windows'
// own calls, and a console event takes the place of a signal.
//
// Every step after a check acts on a handle, never on a name looked up again:
// the output's folder is held open without sharing it for deletion, so that
// nobody can move or replace it meanwhile; the old output is looked at, and
// the new file created, by name within that folder; the new file is shared
// with nobody, and renamed into place and removed through its own handle.
// Every call used here exists from Windows Vista on.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "system/files_platform.h"
#include "system/utf16_windows.h"

namespace {

constexpr NTSTATUS status_name_not_found = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS status_name_collision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS status_access_denied = static_cast<NTSTATUS>(0xC0000022);

HANDLE handle_of(int descriptor) {
    return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

// A descriptor of the C runtime for `handle`, which then owns it; -1 where
// there is none to be had, the handle still the caller's.
int descriptor_of(HANDLE handle) {
    return _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_BINARY);
}

// The handle of the file being written, while it is unfinished, for the
// console handler to remove. The handler runs on a thread of its own; the
// lock keeps it and the main thread from changing the file at the same time.
CRITICAL_SECTION unfinished_lock;
HANDLE unfinished = INVALID_HANDLE_VALUE;

// Marks the file behind `handle` for removal once its last handle closes.
// Should that fail, there is nothing left to try: never a name looked up again.
void remove_when_closed(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

// Ends the process at once, whatever the main thread is doing, with the
// status Windows gives a program that Ctrl-C ends, so that scripts see it.
// The unfinished file goes with the process's handles.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&unfinished_lock);  // held until the process ends
    if (unfinished != INVALID_HANDLE_VALUE) {
        remove_when_closed(unfinished);
    }
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

// Opens `name` within the folder held, as NtCreateFile takes a name relative
// to a folder's handle; the status of the open.
NTSTATUS open_in_folder(const NewFile& file, const std::wstring& name, ACCESS_MASK access,
                        ULONG attributes, ULONG sharing, ULONG disposition, ULONG options,
                        HANDLE& handle) {
    UNICODE_STRING object_name;
    object_name.Buffer = const_cast<wchar_t*>(name.c_str());
    object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &object_name, OBJ_CASE_INSENSITIVE,
                               handle_of(file.folder.descriptor), nullptr);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        NtCreateFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, sharing,
                     disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) {
        handle = INVALID_HANDLE_VALUE;
    }
    return status;
}

// Holds the output's folder for the whole turn. Without FILE_SHARE_DELETE
// nobody can move, rename or remove it while it is held; should another
// program hold it for deletion already, it is shared so, and every step still
// acts within it, wherever it is moved. FILE_TRAVERSE is what a drop box (a
// folder one may write but not list) grants.
bool hold_folder(const std::string& path, OutputFolder& folder) {
    const std::wstring name = widen(path);
    HANDLE handle = INVALID_HANDLE_VALUE;
    for (const DWORD sharing : {FILE_SHARE_READ | FILE_SHARE_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}) {
        handle = CreateFileW(name.c_str(), FILE_TRAVERSE | SYNCHRONIZE, sharing, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) {
            break;
        }
    }
    folder.descriptor = handle == INVALID_HANDLE_VALUE ? -1 : descriptor_of(handle);
    if (folder.descriptor < 0 && handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
    return folder.descriptor >= 0;
}

void close_descriptor(int& descriptor) {
    if (descriptor >= 0) {
        _close(descriptor);
        descriptor = -1;
    }
}

// Wine's access control lists only mirror Unix permissions, and setting one
// rewrites them (a file of mode 0600 became 0775): there the permissions that
// a new file gets stand, as for any new file.
bool runs_under_wine() {
    const HMODULE system = GetModuleHandleW(L"ntdll.dll");
    return system != nullptr && GetProcAddress(system, "wine_get_version") != nullptr;
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

// Whether this user may write the file held by `handle`, as the system
// decides it (its access control list, its read-only attribute): asked by
// opening that same file again for writing, which changes nothing in it.
bool may_write(HANDLE handle) {
    UNICODE_STRING same{};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &same, 0, handle, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE writable = INVALID_HANDLE_VALUE;
    if (NtCreateFile(&writable, FILE_WRITE_DATA | SYNCHRONIZE, &object, &io, nullptr, 0,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                     FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0) < 0) {
        return false;
    }
    CloseHandle(writable);
    return true;
}

// The old output's own access control list, read through the handle that
// was checked; it is set on the new file as soon as that exists (nobody else
// can open the new file meanwhile). Best effort, where this user may read it.
PSECURITY_DESCRIPTOR read_security(HANDLE handle) {
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;
    if (runs_under_wine() ||
        GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                        nullptr, &security) != ERROR_SUCCESS) {
        return nullptr;
    }
    return security;
}

void set_security(HANDLE handle, PSECURITY_DESCRIPTOR security) {
    if (security == nullptr) {
        return;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityDescriptorDacl(security, &present, &list, &defaulted) &&
        GetSecurityDescriptorControl(security, &control, &revision)) {
        // An inherited list stays inherited, from the same folder.
        const SECURITY_INFORMATION what =
            DACL_SECURITY_INFORMATION |
            ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                : UNPROTECTED_DACL_SECURITY_INFORMATION);
        SetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr, nullptr, list, nullptr);
    }
    LocalFree(security);
}

// What stands at the output's name, looked at within the folder held and
// without following it should it be a reparse point. Only name surrogates
// (symbolic links, junctions) are links, replaced as they stand; every other
// reparse point (a cloud file, a deduplicated or compressed one) is a file
// like any other: checked, and its attributes and access control list kept.
SaveStatus check_existing_output(NewFile& file, const FileIdentity& archive_only_copy,
                                 PSECURITY_DESCRIPTOR& security) {
    HANDLE old = INVALID_HANDLE_VALUE;
    const std::wstring name = widen(file.output_name);
    constexpr ULONG anyone = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    NTSTATUS status = open_in_folder(file, name, FILE_READ_ATTRIBUTES | READ_CONTROL, 0, anyone,
                                     FILE_OPEN, FILE_OPEN_REPARSE_POINT, old);
    if (status == status_access_denied) {  // its list may not be read: nor kept
        status = open_in_folder(file, name, FILE_READ_ATTRIBUTES, 0, anyone, FILE_OPEN,
                                FILE_OPEN_REPARSE_POINT, old);
    }
    if (status == status_name_not_found) {
        return SaveStatus::saved;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (status < 0 || !GetFileInformationByHandleEx(old, FileAttributeTagInfo, &tag, sizeof tag)) {
        if (old != INVALID_HANDLE_VALUE) {
            CloseHandle(old);
        }
        return SaveStatus::cannot_open;  // whatever stands there is not known: kept
    }
    const bool link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                      IsReparseTagNameSurrogate(tag.ReparseTag);
    DWORD names = 0;
    SaveStatus result = SaveStatus::saved;
    if (!link &&
        ((tag.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0 ||
         same_file(identity_of(old, names), archive_only_copy) || !may_write(old))) {
        result = SaveStatus::cannot_open;
    } else if (!link) {
        file.replaced.present = true;
        file.replaced.attributes = tag.FileAttributes;
        security = read_security(old);
    }
    CloseHandle(old);
    return result;
}

// Creates the new file under a hidden name of its own in the folder held,
// shared with nobody, so that no other program can rename, replace or remove
// it while it is written, and records it for the console handler.
bool create_temporary_file(NewFile& file) {
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        make_temporary_name(attempt, file.temporary_name);
        HANDLE handle = INVALID_HANDLE_VALUE;
        EnterCriticalSection(&unfinished_lock);
        const NTSTATUS status = open_in_folder(
            file, widen(file.temporary_name), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
            FILE_ATTRIBUTE_HIDDEN, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, handle);
        if (status >= 0) {
            file.descriptor = descriptor_of(handle);
            if (file.descriptor >= 0) {
                unfinished = handle;
                file.name = NewFileName::temporary;
            } else {  // no descriptor for it: the file goes at once
                remove_when_closed(handle);
                CloseHandle(handle);
            }
        }
        LeaveCriticalSection(&unfinished_lock);
        if (status >= 0) {
            return file.descriptor >= 0;
        }
        if (status != status_name_collision) {
            break;
        }
    }
    return false;
}

// What a replaced output keeps of the old file, as a file that Windows itself
// replaces keeps them: its attributes, set on the complete file before it
// takes the output's name. A failure fails the file.
bool set_attributes(const NewFile& file) {
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};  // times of 0 stay as they are
    basic.FileAttributes =
        file.replaced.present ? file.replaced.attributes & kept : FILE_ATTRIBUTE_ARCHIVE;
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // 0 would mean "unchanged": still hidden
    }
    return SetFileInformationByHandle(handle_of(file.descriptor), FileBasicInfo, &basic,
                                      sizeof basic) != 0;
}

// Renames the new file, through its own handle, to the output's name within
// the folder held, replacing whatever stands there. The request is built on
// the stack: one name within a folder is at most 255 characters. (The
// documented SetFileInformationByHandle takes a relative name from the
// working folder under Wine; the system call takes it from the folder given.)
bool rename_into_place(const NewFile& file) {
    const std::wstring name = widen(file.output_name);
    alignas(FILE_RENAME_INFORMATION) unsigned char
        request[sizeof(FILE_RENAME_INFORMATION) + MAX_PATH * sizeof(wchar_t)] = {};
    if (name.size() >= MAX_PATH) {
        return false;
    }
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(request);
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = handle_of(file.folder.descriptor);
    rename->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::wmemcpy(rename->FileName, name.c_str(), name.size() + 1);
    IO_STATUS_BLOCK io{};
    return NtSetInformationFile(handle_of(file.descriptor), &io, rename, sizeof request,
                                FileRenameInformation) >= 0;
}

}  // namespace

void split_path(const std::string& path, std::string& folder, std::string& name) {
    const std::size_t end = path.find_last_of("/\\:");
    if (end == std::string::npos) {
        folder = ".";
        name = path;
        return;
    }
    // A root ("\", "C:\") and a drive's own folder ("C:") keep their last
    // character; any other folder is named without its final separator.
    const bool root = path[end] == ':' || end == 0 || path[end - 1] == ':';
    folder = path.substr(0, root ? end + 1 : end);
    if (path[end] == ':') {
        folder += '.';  // the drive's working folder
    }
    name = path.substr(end + 1);
}

void remove_unfinished_output_on_interrupt() {
    InitializeCriticalSection(&unfinished_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

InputStatus open_input(const std::string& name, InputFile& input) {
    // SECURITY_IDENTIFICATION: a named pipe's server may learn who connects,
    // never act as this user.
    const HANDLE handle = CreateFileW(
        widen(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return InputStatus::cannot_open;  // a folder cannot be opened as a file here
    }
    // A pipe, a console or any other device (COM1, NUL, \\.\...) is never
    // read, so never waited on.
    LARGE_INTEGER size{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size)) {
        CloseHandle(handle);
        return InputStatus::not_regular_file;
    }
    DWORD names = 0;
    const FileIdentity opened = identity_of(handle, names);
    const int descriptor = descriptor_of(handle);
    if (descriptor < 0) {
        CloseHandle(handle);
        return InputStatus::cannot_open;
    }
    input.size = static_cast<std::uint64_t>(size.QuadPart);
    input.only_copy = names == 1 ? opened : FileIdentity{};
    input.reader.descriptor = descriptor;
    return InputStatus::opened;
}

bool read_archive_bytes(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                        std::size_t count) {
    // ReadFile takes the position with each call, and less than 4 GiB at
    // once: a gibibyte at a time. A read that ends early (the file shrank)
    // or fails leaves the bytes incomplete.
    const HANDLE file = handle_of(archive.descriptor);
    std::size_t done = 0;
    while (done < count) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
        if (!ReadFile(file, bytes + done, asked, &got, &at) || got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

void close_input_descriptor(int descriptor) {
    _close(descriptor);
}

SaveStatus create_output(const std::string& output_name, const FileIdentity& archive_only_copy,
                         NewFile& file) {
    std::string folder;
    split_path(output_name, folder, file.output_name);
    if (!hold_folder(folder, file.folder)) {
        return SaveStatus::cannot_open;
    }
    PSECURITY_DESCRIPTOR security = nullptr;
    SaveStatus status = check_existing_output(file, archive_only_copy, security);
    if (status == SaveStatus::saved && !create_temporary_file(file)) {
        status = SaveStatus::cannot_open;
    }
    if (status == SaveStatus::saved) {
        set_security(handle_of(file.descriptor), security);
    } else {
        LocalFree(security);
        close_descriptor(file.folder.descriptor);
    }
    return status;
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
    if (!set_attributes(file)) {
        discard_output(file);
        return SaveStatus::cannot_write;
    }
    EnterCriticalSection(&unfinished_lock);
    const bool renamed = rename_into_place(file);
    if (renamed) {
        unfinished = INVALID_HANDLE_VALUE;
        file.name = NewFileName::none;
    }
    LeaveCriticalSection(&unfinished_lock);
    if (!renamed) {
        discard_output(file);
        return SaveStatus::cannot_open;
    }
    close_descriptor(file.descriptor);
    close_descriptor(file.folder.descriptor);
    return SaveStatus::saved;
}

void discard_output(NewFile& file) {
    if (file.name == NewFileName::temporary) {
        EnterCriticalSection(&unfinished_lock);
        remove_when_closed(handle_of(file.descriptor));
        unfinished = INVALID_HANDLE_VALUE;
        LeaveCriticalSection(&unfinished_lock);
        file.name = NewFileName::none;
    }
    close_descriptor(file.descriptor);
    close_descriptor(file.folder.descriptor);
}
