// The file interface on Windows: names in UTF-8 become UTF-16 for Windows'
// own calls, and a console event takes the place of a signal. Every call
// used here exists from Windows Vista on.
//
//   names within a folder ... NtCreateFile relative to a folder's handle,
//                             device names
//   access control lists .... reading one, and whether a file has its own
//   interruptions ........... the console handler and its lock
//   folders and archives .... holding a folder, opening an archive within it
//   the old output .......... looking at it, whether its name is its own
//   the new file ............ creating, writing, handing on, renaming
//
// It reports what it sees and carries out what safe_write.cpp and
// new_file_access.cpp decide.
//
// Every step after a check acts on a handle, never on a name looked up again:
// the archive's folder is held open without sharing it for deletion, so that
// nobody can move or replace it meanwhile; the archive, the old output and
// the new file are opened by name within that folder; the new file is shared
// with nobody, removed by the system when its handle closes (however the
// process ends) until just before it is renamed into place through it.
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <winternl.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "system/read_some.h"
#include "system/safe_write_steps.h"
#include "system/windows/utf16_windows.h"

namespace {

constexpr NTSTATUS status_name_not_found = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS status_name_collision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS status_access_denied = static_cast<NTSTATUS>(0xC0000022);
// NtCreateFile's option that completes an open at once, rather than waiting
// for another program's opportunistic lock to be given up.
constexpr ULONG complete_if_oplocked = 0x00000100;

HANDLE handle_or_null(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

void close_handle(void*& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

// ---- Names within a folder ----------------------------------------------------

// Opens `name` within `folder`, as NtCreateFile takes a name relative to a
// folder's handle; the status of the open, `handle` nullptr on failure. A
// named pipe's server may learn who connects, never act as this user.
NTSTATUS open_in_folder(HANDLE folder, const std::wstring& name, ACCESS_MASK access,
                        ULONG attributes, ULONG sharing, ULONG disposition, ULONG options,
                        HANDLE& handle) {
    UNICODE_STRING object_name;
    object_name.Buffer = const_cast<wchar_t*>(name.c_str());
    object_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    object_name.MaximumLength = object_name.Length;
    SECURITY_QUALITY_OF_SERVICE quality{sizeof quality, SecurityIdentification,
                                        SECURITY_STATIC_TRACKING, FALSE};
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &object_name, OBJ_CASE_INSENSITIVE, folder, nullptr);
    object.SecurityQualityOfService = &quality;
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        NtCreateFile(&handle, access | SYNCHRONIZE, &object, &io, nullptr, attributes, sharing,
                     disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) {
        handle = nullptr;
    }
    return status;
}

HANDLE folder_of(const NewFile& file) {
    return file.archive->folder.handle;
}

// The file behind `handle`.
FileIdentity identity_of(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information)) {
        return {};
    }
    return {information.dwVolumeSerialNumber,
            (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow, true};
}

// Whether the last part of `path` is a DOS device name (CON, PRN, AUX, NUL,
// COM1 to COM9, LPT1 to LPT9, CONIN$, CONOUT$), whatever follows its first dot
// and with any spaces before it: Windows programs that open such a file by
// name reach the device, and Explorer cannot remove it.
bool is_device_name(const std::string& path) {
    std::string folder, name;
    split_path(path, folder, name);
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') {
        base.pop_back();
    }
    for (char& c : base) {
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (base == device) {
            return true;
        }
    }
    // COM and LPT with a digit 1 to 9, or a superscript 1, 2 or 3.
    const std::string prefix = base.substr(0, 3);
    const std::string number = base.size() > 3 ? base.substr(3) : "";
    return (prefix == "COM" || prefix == "LPT") &&
           ((number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
            number == "\xC2\xB2" || number == "\xC2\xB3");
}

// ---- Access control lists ---------------------------------------------------------

// Wine's access control lists only mirror Unix permissions, and setting one
// rewrites them (a file of mode 0600 became 0775): there the permissions that
// a new file gets stand, as for any new file.
bool runs_under_wine() {
    const HMODULE system = GetModuleHandleW(L"ntdll.dll");
    return system != nullptr && GetProcAddress(system, "wine_get_version") != nullptr;
}

// Reads the access control list of the file behind `handle` into `kept`:
// present where the file has one of its own (explicit, not inherited from
// the folder it lies in, or `own` says it must be kept whatever it is),
// none where it has only what its folder gives, unreadable on failure.
// Wine's lists only mirror Unix permissions, and setting one rewrites them
// (a file of mode 0600 became 0775): there a file's permissions are its
// folder's, as for any new file.
AclFact read_acl(HANDLE handle, bool own, KeptMetadata& kept) {
    if (runs_under_wine()) {
        return AclFact::none;
    }
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR security = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                        nullptr, &security) != ERROR_SUCCESS ||
        !GetSecurityDescriptorControl(security, &control, &revision)) {
        LocalFree(security);
        return AclFact::unreadable;
    }
    if (!own && (control & SE_DACL_PROTECTED) == 0) {
        LocalFree(security);
        return AclFact::none;
    }
    kept.security = security;
    return AclFact::present;
}

// Sets the list that `security` holds on the file behind `handle`: an
// inherited list stays inherited, from the same folder.
bool set_acl(HANDLE handle, PSECURITY_DESCRIPTOR security) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (security == nullptr || !GetSecurityDescriptorDacl(security, &present, &list, &defaulted) ||
        !GetSecurityDescriptorControl(security, &control, &revision)) {
        return false;
    }
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION);
    return SetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr, nullptr, list, nullptr) ==
           ERROR_SUCCESS;
}

// The full path of the file or folder behind `handle`, as the system names it.
std::wstring path_of(HANDLE handle) {
    std::wstring path(32768, L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(handle, &path[0], static_cast<DWORD>(path.size()), 0);
    path.resize(length < path.size() ? length : 0);
    return path;
}

// Whether the file behind `file` lies in the folder behind `folder` (and was
// not reached through a link from another).
bool lies_in(HANDLE file, HANDLE folder) {
    const std::wstring file_path = path_of(file), folder_path = path_of(folder);
    const std::size_t end = file_path.find_last_of(L'\\');
    return !file_path.empty() && !folder_path.empty() && end != std::wstring::npos &&
           CompareStringOrdinal(file_path.c_str(), static_cast<int>(end), folder_path.c_str(),
                                static_cast<int>(folder_path.size()), TRUE) == CSTR_EQUAL;
}

// ---- Interruptions -------------------------------------------------------------

// The console handler runs on a thread of its own; the lock keeps it and the
// main thread from changing the unfinished file at the same time.
CRITICAL_SECTION unfinished_lock;

// Marks the file behind `handle` for removal once its last handle closes, or
// (`remove` false) takes the mark away again.
bool remove_when_closed(HANDLE handle, bool remove = true) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = remove ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Ends the process at once, whatever the main thread is doing, with the
// status Windows gives a program that Ctrl-C ends, so that scripts see it.
// The unfinished file goes with the process's handles.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&unfinished_lock);  // held until the process ends
    if (const NewFile* file = unfinished_file()) {
        remove_when_closed(file->open.handle);
    }
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    return TRUE;
}

}  // namespace

void remove_unfinished_output_on_interrupt() {
    InitializeCriticalSection(&unfinished_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

InterruptsHeld hold_interrupts() {
    EnterCriticalSection(&unfinished_lock);
    return {};
}

void release_interrupts(const InterruptsHeld&) {
    LeaveCriticalSection(&unfinished_lock);
}

// ---- Folders and archives ---------------------------------------------------------

namespace {

// Holds a folder for the archive's turn. Without FILE_SHARE_DELETE nobody can
// move, rename or remove it while it is held; should another program hold it
// for deletion already, it is shared so, and every step still acts within it,
// wherever it is moved. FILE_TRAVERSE is what a drop box (a folder one may
// write but not list) grants.
bool hold_folder(const std::string& path, HeldFolder& folder) {
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
    folder.handle = handle_or_null(handle);
    return folder.handle != nullptr;
}

// What a name that is no file in a folder stands for: a pipe, a console or
// any other device (COM1, NUL, \\.\...) is never read, so never waited on;
// anything else could not be opened.
InputStatus input_status_of_name(const std::string& name) {
    const HANDLE handle = CreateFileW(
        widen(name).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return InputStatus::cannot_open;
    }
    const bool device = GetFileType(handle) != FILE_TYPE_DISK;
    CloseHandle(handle);
    return device ? InputStatus::not_regular_file : InputStatus::cannot_open;
}

// Opens the file `name` within the folder held for reading, and only a file:
// a folder is refused by the open itself.
bool open_archive_in_folder(const HeldFolder& folder, const std::string& name, HANDLE& handle,
                            LARGE_INTEGER& size) {
    open_in_folder(folder.handle, widen(name), GENERIC_READ, 0,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                   FILE_NON_DIRECTORY_FILE | complete_if_oplocked, handle);
    if (handle != nullptr &&
        (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &size))) {
        close_handle(handle);
    }
    return handle != nullptr;
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

// A name that is a DOS device's is classified as 1.3.0 did, never opened
// within its folder. The archive's own access control list is kept for a new
// output where it is explicit, or where the archive lies in another folder
// (reached through a link): its output then lets in nobody else.
InputStatus open_input(const std::string& name, InputFile& input) {
    std::string folder, name_in_folder;
    split_path(name, folder, name_in_folder);
    HANDLE handle = nullptr;
    LARGE_INTEGER size{};
    if (is_device_name(name) || !hold_folder(folder, input.folder) ||
        !open_archive_in_folder(input.folder, name_in_folder, handle, size)) {
        close_handle(input.folder.handle);
        return input_status_of_name(name);
    }
    input.size = static_cast<std::uint64_t>(size.QuadPart);
    input.facts.identity = identity_of(handle);
    input.reader.handle = handle;
    input.facts.acl = read_acl(handle, !lies_in(handle, input.folder.handle), input.acl);
    return InputStatus::opened;
}

std::size_t read_some(ArchiveReader& archive, std::uint64_t offset, unsigned char* bytes,
                      std::size_t count) {
    // ReadFile takes the position with each call, and less than 4 GiB at
    // once: a gibibyte at a time.
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
    return ReadFile(archive.handle, bytes, asked, &got, &at) ? got : 0;
}

// Holes are not asked about here: a sparse file's are read as the zeros
// they hold.
std::uint64_t data_at_or_after(ArchiveReader&, std::uint64_t offset) {
    return offset;
}

void close_archive(InputFile& input) {
    close_handle(input.reader.handle);
}

void close_input(InputFile& input) {
    close_archive(input);
    close_handle(input.folder.handle);
    LocalFree(input.acl.security);
    input.acl.security = nullptr;
}

// ---- The old output --------------------------------------------------------------

namespace {

// Whether this user may write the file held by `handle`, as the system
// decides it (its access control list): asked by opening that same file
// again for writing, which changes nothing in it.
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

// Whether the file held carries `name` as its own long name, as Windows
// compares names: a short 8.3 alias (EPISOD~1.rtl) may stand for another
// file altogether (episode_one.rtlx), which is never replaced.
bool carries_name(HANDLE handle, const std::wstring& name) {
    // Room for the longest path Windows has.
    alignas(FILE_NAME_INFO) unsigned char buffer[sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t)];
    auto* information = reinterpret_cast<FILE_NAME_INFO*>(buffer);
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, information, sizeof buffer)) {
        return false;
    }
    const wchar_t* path = information->FileName;
    const std::size_t length = information->FileNameLength / sizeof(wchar_t);
    std::size_t start = length;
    while (start > 0 && path[start - 1] != L'\\') {
        --start;
    }
    return CompareStringOrdinal(path + start, static_cast<int>(length - start), name.c_str(),
                                static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

UserFacts user_facts() {
    return {};  // no owners: what matters is in the access control lists
}

// Looked at within the folder held and without following it should it be a
// reparse point. Only name surrogates (symbolic links, junctions) are links,
// replaced as they stand; every other reparse point (a cloud file, a
// deduplicated or compressed one) is a file like any other: checked, and its
// attributes and access control list kept. A device's name is never looked
// up within a folder.
Standing look_at_output(NewFile& file, FileFacts& facts) {
    if (is_device_name(file.output_name)) {
        return Standing::unknown;
    }
    const std::wstring name = widen(file.output_name);
    constexpr ULONG anyone = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = nullptr;
    NTSTATUS status = open_in_folder(folder_of(file), name, FILE_READ_ATTRIBUTES | READ_CONTROL, 0,
                                     anyone, FILE_OPEN, FILE_OPEN_REPARSE_POINT, handle);
    if (status == status_access_denied) {  // its list may not be read: nor kept
        status = open_in_folder(folder_of(file), name, FILE_READ_ATTRIBUTES, 0, anyone, FILE_OPEN,
                                FILE_OPEN_REPARSE_POINT, handle);
    }
    if (status == status_name_not_found) {
        return Standing::nothing;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    Standing standing = Standing::unknown;  // whatever stands there is not known: kept
    if (status >= 0 &&
        GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag)) {
        standing = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                           IsReparseTagNameSurrogate(tag.ReparseTag)
                       ? Standing::link
                   : (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Standing::folder
                                                                          : Standing::file;
    }
    if (standing == Standing::file) {
        facts.identity = identity_of(handle);
        facts.own_name = carries_name(handle, name);
        facts.writable = (tag.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0 && may_write(handle);
        facts.acl = read_acl(handle, true, file.kept);
        file.kept.attributes = tag.FileAttributes;
    }
    close_handle(handle);
    return standing;
}

// Windows has no append-only folders.
bool folder_lets_names_go(const NewFile&) {
    return true;
}

// ---- The new file ------------------------------------------------------------------

// Windows makes no file without a name: each is made under a hidden one.
bool create_nameless(NewFile&, unsigned) {
    return false;
}

// Creates the new file under `name` in the folder held, shared with nobody,
// so that no other program can open, rename, replace or remove it while it is
// written, and removed by the system when its handle closes, however the
// process ends (its last handle closes with it).
Claim create_named(NewFile& file, const char* name, unsigned) {
    HANDLE handle = nullptr;
    const NTSTATUS status = open_in_folder(
        folder_of(file), widen(name), GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC,
        FILE_ATTRIBUTE_HIDDEN, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, handle);
    if (status < 0) {
        return status == status_name_collision ? Claim::taken : Claim::failed;
    }
    file.open.handle = handle;
    if (!remove_when_closed(handle)) {
        close_handle(file.open.handle);  // nobody else can open it: it goes by its handle
        return Claim::failed;
    }
    return Claim::claimed;
}

// Never asked: no file here is nameless.
Claim link_nameless(NewFile&, const char*) {
    return Claim::failed;
}

std::size_t write_some(NewFile& file, const void* bytes, std::size_t count) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
    return WriteFile(file.open.handle, bytes, chunk, &written, nullptr) ? written : 0;
}

// Files here have no owners or permission bits to give.
bool set_ownership(NewFile&, const Ownership&, std::uint32_t& owner, std::uint32_t& group,
                   std::uint32_t& mode) {
    owner = group = mode = 0;
    return true;
}

// None: the list the folder gave the new file stays.
bool put_acl(NewFile& file, AclSource source) {
    switch (source) {
        case AclSource::archive:
            return set_acl(file.open.handle, file.archive->acl.security);
        case AclSource::old:
            return set_acl(file.open.handle, file.kept.security);
        case AclSource::none:
            break;
    }
    return true;
}

// No permission bits: what a replaced output keeps of the old file, as a file
// that Windows itself replaces keeps them, is its attributes, set on the
// complete file before it takes the output's name; a new one is marked for
// archiving. A failure fails the file.
bool set_mode(NewFile& file, std::uint32_t) {
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    FILE_BASIC_INFO basic{};  // times of 0 stay as they are
    basic.FileAttributes =
        file.replaces_file ? file.kept.attributes & kept : FILE_ATTRIBUTE_ARCHIVE;
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // 0 would mean "unchanged": still hidden
    }
    return SetFileInformationByHandle(file.open.handle, FileBasicInfo, &basic, sizeof basic) != 0;
}

// The handle stays open: the file is renamed, and removed on failure,
// through it.
bool finish_writing(NewFile&) {
    return true;
}

// Just before the rename: a file marked for removal cannot be renamed.
bool keep_when_closed(NewFile& file) {
    return remove_when_closed(file.open.handle, false);
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
    rename->RootDirectory = folder_of(file);
    rename->FileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    std::wmemcpy(rename->FileName, name.c_str(), name.size() + 1);
    IO_STATUS_BLOCK io{};
    return NtSetInformationFile(file.open.handle, &io, rename, sizeof request,
                                FileRenameInformation) >= 0;
}

// The only name removed here is the hidden one, through the handle.
void remove_name(const NewFile& file, const char*) {
    remove_when_closed(file.open.handle);
}

void empty_file(NewFile& file) {
    FILE_END_OF_FILE_INFO end{};
    SetFileInformationByHandle(file.open.handle, FileEndOfFileInfo, &end, sizeof end);
}

void close_new_file(NewFile& file) {
    close_handle(file.open.handle);
    LocalFree(file.kept.security);
    file.kept.security = nullptr;
}
