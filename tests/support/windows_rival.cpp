// A second Windows program, run under Wine beside mapdown.exe, that does to a
// folder what any other program of the user's may do while mapdown writes
// there: "windows_rival replace-temporary FOLDER" renames the hidden file
// being written away and creates its own under that name; "windows_rival
// move-folder FOLDER" moves FOLDER away (to FOLDER.moved) and makes a new one
// in its place. It prints "ready", acts on the first .mapdown-*.tmp in FOLDER,
// prints "done" or "refused" (the system would not let it), and exits; after
// a minute with none, it prints "timeout". "windows_rival serve-pipe NAME
// FILE" serves FILE's bytes, a valid archive, to each program that opens the
// named pipe \\.\pipe\NAME, prints "ready" once it listens, and after two
// seconds with no one new prints how many opened it ("served N") and exits.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

int serve_pipe(const std::string& name, const std::string& file) {
    std::string bytes;
    if (std::FILE* archive = std::fopen(file.c_str(), "rb")) {
        for (int c; (c = std::fgetc(archive)) != EOF;) {
            bytes += static_cast<char>(c);
        }
        std::fclose(archive);
    }
    const std::string path = "\\\\.\\pipe\\" + name;
    int served = 0;
    for (bool said = false;; said = true) {
        const HANDLE pipe = CreateNamedPipeA(
            path.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE,
            PIPE_UNLIMITED_INSTANCES, static_cast<DWORD>(bytes.size()), 0, 0, nullptr);
        if (!said) {
            std::puts("ready");
            std::fflush(stdout);
        }
        OVERLAPPED connected{};
        connected.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const bool now = ConnectNamedPipe(pipe, &connected) != 0;
        const DWORD error = GetLastError();
        if (!now && error != ERROR_PIPE_CONNECTED &&
            (error != ERROR_IO_PENDING ||
             WaitForSingleObject(connected.hEvent, served == 0 ? 20000 : 2000) != WAIT_OBJECT_0)) {
            CloseHandle(pipe);
            break;
        }
        ++served;
        OVERLAPPED wrote{};
        wrote.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &wrote);
        WaitForSingleObject(wrote.hEvent, 500);
        CloseHandle(pipe);
    }
    std::printf("served %d\n", served);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "serve-pipe") {
        return serve_pipe(argv[2], argv[3]);
    }
    const std::string action = argc == 3 ? argv[1] : "", folder = argc == 3 ? argv[2] : "";
    std::puts("ready");
    std::fflush(stdout);
    WIN32_FIND_DATAA found;
    HANDLE search = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 60000 && search == INVALID_HANDLE_VALUE; ++tries, Sleep(1)) {
        search = FindFirstFileA((folder + "\\.mapdown-*.tmp").c_str(), &found);
    }
    if (search == INVALID_HANDLE_VALUE) {
        std::puts("timeout");
        return 1;
    }
    FindClose(search);
    const std::string temporary = folder + "\\" + found.cFileName;
    bool done = false;
    if (action == "replace-temporary" &&
        MoveFileA(temporary.c_str(), (temporary + ".away").c_str())) {
        const HANDLE planted =
            CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        DWORD written = 0;
        done = WriteFile(planted, "another program's file\n", 23, &written, nullptr);
        CloseHandle(planted);
    } else if (action == "move-folder") {
        done = MoveFileA(folder.c_str(), (folder + ".moved").c_str()) &&
               CreateDirectoryA(folder.c_str(), nullptr);
    }
    std::puts(done ? "done" : "refused");
    return 0;
}
