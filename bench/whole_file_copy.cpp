// The baseline: what any converter of mapdown's design must do at the least.
// whole_file_copy FILE...: reads each file into one buffer and writes it to a
// new file beside it, FILE.copy, as mapdown writes its output beside its input.
#include <fstream>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    for (int index = 1; index < argc; ++index) {
        const std::string name = argv[index];
        std::ifstream in(name, std::ios::binary | std::ios::ate);
        const std::streamsize size = in.tellg();
        in.seekg(0);
        std::unique_ptr<char[]> buffer(new char[static_cast<std::size_t>(size)]);
        in.read(buffer.get(), size);
        std::ofstream(name + ".copy", std::ios::binary).write(buffer.get(), size);
    }
    return 0;
}
