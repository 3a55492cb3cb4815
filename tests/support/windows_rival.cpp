// A second Windows program, run under Wine beside mapdown.exe, that does to
// a folder what any other program of the user's may do while mapdown writes
// there:
//     windows_rival replace-temporary FOLDER
//         renames the hidden file being written away and creates its own
//         under that name;
//     windows_rival move-folder FOLDER
//         moves FOLDER away (to FOLDER.moved) and makes a new one in its place.
// It prints "ready" as it starts watching, acts on the first .mapdown-*.tmp
// that appears in FOLDER, prints "done" or "refused" (the system would not
// let it), and exits; after a minute with none, it prints "timeout".
#include <windows.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const std::string action = argv[1], folder = argv[2];
    std::puts("ready");
    std::fflush(stdout);
    for (int tries = 0; tries < 60000; ++tries) {
        WIN32_FIND_DATAA found;
        const HANDLE search = FindFirstFileA((folder + "\\.mapdown-*.tmp").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) {
            Sleep(1);
            continue;
        }
        FindClose(search);
        const std::string temporary = folder + "\\" + found.cFileName;
        bool done = false;
        if (action == "replace-temporary") {
            done = MoveFileA(temporary.c_str(), (temporary + ".away").c_str()) != 0;
            const HANDLE planted = done ? CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr,
                                                      CREATE_NEW, 0, nullptr)
                                        : INVALID_HANDLE_VALUE;
            DWORD written = 0;
            done = planted != INVALID_HANDLE_VALUE &&
                   WriteFile(planted, "another program's file\n", 23, &written, nullptr);
            CloseHandle(planted);
        } else {
            done = MoveFileA(folder.c_str(), (folder + ".moved").c_str()) != 0 &&
                   CreateDirectoryA(folder.c_str(), nullptr) != 0;
        }
        std::puts(done ? "done" : "refused");
        return 0;
    }
    std::puts("timeout");
    return 1;
}
