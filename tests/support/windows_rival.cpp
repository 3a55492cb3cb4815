// A second Windows program, run under Wine beside mapdown.exe, that does to a
// folder what any other program of the user's may do while mapdown writes
// there: "windows_rival replace-temporary FOLDER" renames the hidden file
// being written away and creates its own under that name; "windows_rival
// move-folder FOLDER" moves FOLDER away (to FOLDER.moved) and makes a new one
// in its place. It prints "ready", acts on the first .mapdown-*.tmp in FOLDER,
// prints "done" or "refused" (the system would not let it), and exits; after
// a minute with none, it prints "timeout".
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
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
