// Runs the built program in a scratch folder, as a user would, and checks its
// console output, exit status and every file it leaves behind.
#include "program_run.h"

namespace {

using Mapdown = ProgramTest;

TEST_F(Mapdown, ShowsUsageWithoutFileNames) {
    const Result result = run({});
    EXPECT_EQ(result.out, "\nUsage: mapdown file.rtlx file.rtcx ...\n\n");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
}

TEST_F(Mapdown, ConvertsEveryArchiveInOrderAndSkipsMissingOnes) {
    put("a.rtlx", sample_archive(rxl, 3, 9000));
    put("b.rtcx", sample_archive(rxc, 1, 6400));
    put("m.rtlx", sample_archive(rxc, 2, 7000));  // the magic, not the name, picks the kind
    put("a.rtl", std::string(20000, 'o'));        // replaced
    fs::create_directory(folder() / "maps");
    put("maps/e1.rtlx", sample_archive(rxl, 100, 9000));

    const Result result = run(
        {"a.rtlx", "missing.rtlx", "b.rtcx", "m.rtlx", "maps/e1.rtlx", "gone/e1.rtlx", "a.rtlx"});
    EXPECT_EQ(result.out, success("a.rtl") + success("b.rtc") + success("m.rtl") +
                              success("maps/e1.rtl") + success("a.rtl"));
    EXPECT_EQ(result.err,
              "Warning: Couldn't open \"missing.rtlx\" for reading!\n"
              "Warning: Couldn't open \"gone/e1.rtlx\" for reading!\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(bytes_match(read_file(folder() / "a.rtl"), sample_map_file(rxl, 3, 9000)));
    EXPECT_TRUE(bytes_match(read_file(folder() / "b.rtc"), sample_map_file(rxc, 1, 6400)));
    EXPECT_TRUE(bytes_match(read_file(folder() / "m.rtl"), sample_map_file(rxc, 2, 7000)));
    EXPECT_TRUE(bytes_match(read_file(folder() / "maps/e1.rtl"), sample_map_file(rxl, 100, 9000)));
    EXPECT_EQ(listing(), (std::set<std::string>{"a.rtl", "a.rtlx", "b.rtc", "b.rtcx", "m.rtl",
                                                "m.rtlx", "maps"}));

    // Into one file, as with `mapdown … >log 2>&1`: every line where it happened.
    RunOptions merged;
    merged.merged_output = true;
    EXPECT_EQ(run({"a.rtlx", "missing.rtlx", "b.rtcx"}, merged).out,
              success("a.rtl") + "Warning: Couldn't open \"missing.rtlx\" for reading!\n" +
                  success("b.rtc"));
}

TEST_F(Mapdown, SkipsDamagedArchivesWithTheirWarning) {
    const std::string good = sample_archive(rxl, 2, 6400);
    const std::uint64_t directory = sample_map_array_position + 6400;
    std::string too_many_entries = good, endless_directory = good, empty_directory = good,
                no_maps = good, maps_past_end = good, short_maps = good, badly_named = good;
    too_many_entries.replace(16, 8, u64_le(3));
    endless_directory.replace(16, 8, u64_le(~0ull));
    empty_directory.replace(16, 8, u64_le(0));
    no_maps.replace(directory + 32, 4, "MAPZ");
    maps_past_end.replace(directory + 32 + 24, 8, u64_le(6400 + 64 + 1));
    short_maps.replace(directory + 32 + 24, 8, u64_le(6399));
    struct Case {
        std::string name, bytes, warning;
    };
    const std::vector<Case> cases = {
        {"notes.txt", "These are my notes.\nMaps to finish:\n", not_valid("notes.txt")},
        {"empty.rtlx", "", not_valid("empty.rtlx")},
        {"short.rtcx", good.substr(0, 23), not_valid("short.rtcx")},
        {"too_many_entries.rtlx", too_many_entries, not_valid("too_many_entries.rtlx")},
        {"endless_directory.rtlx", endless_directory, not_valid("endless_directory.rtlx")},
        {"maps_past_end.rtlx", maps_past_end, not_valid("maps_past_end.rtlx")},
        {"short_maps.rtlx", short_maps, not_valid("short_maps.rtlx")},
        {"empty_directory.rtlx", empty_directory, no_offset("empty_directory.rtlx")},
        {"header_alone.rtlx", empty_directory.substr(0, 24), no_offset("header_alone.rtlx")},
        {"no_maps.rtlx", no_maps, no_offset("no_maps.rtlx")},
    };
    std::vector<std::string> arguments;
    std::string warnings;
    std::set<std::string> inputs = {"good.rtlx", "good.rtl"};
    for (const Case& c : cases) {
        put(c.name, c.bytes);
        arguments.push_back(c.name);
        warnings += c.warning;
        inputs.insert(c.name);
    }
    put("good.rtlx", good);
    arguments.push_back("good.rtlx");

    const Result result = run(arguments);
    EXPECT_EQ(result.err, warnings);
    EXPECT_EQ(result.out, success("good.rtl"));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(listing(), inputs);
}

// A pattern reaches the program unexpanded here, as from cmd.exe. On Windows
// the program expands it itself; elsewhere that is the shell's work.
TEST_F(Mapdown, WildcardPatternsThatReachTheProgram) {
    put("w1.rtlx", sample_archive(rxl, 1, 6400));
    put("w2.rtlx", sample_archive(rxl, 2, 6400));
    const Result result = run({"w*.rtlx", "none*.rtcx"});
    const std::string no_match = "Warning: Couldn't open \"none*.rtcx\" for reading!\n";
    if (runs_windows_program()) {
        EXPECT_TRUE(result.out == success("w1.rtl") + success("w2.rtl") ||
                    result.out == success("w2.rtl") + success("w1.rtl"))
            << result.out;
        EXPECT_EQ(result.err, no_match);
        EXPECT_TRUE(bytes_match(read_file(folder() / "w2.rtl"), sample_map_file(rxl, 2, 6400)));
    } else {
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Warning: Couldn't open \"w*.rtlx\" for reading!\n" + no_match);
    }
    EXPECT_EQ(result.status, 0);
}

// Names in any script, in folders named in any script, given explicitly and
// through wildcards: every message carries the name in UTF-8, byte for byte
// the same on every system.
TEST_F(Mapdown, NamesInEveryScript) {
    const std::string greek = "Ελληνικά";
    fs::create_directory(folder() / fs::u8path(greek));
    const std::vector<std::string> names = {"карта.rtlx",           "地图.rtcx",
                                            "🗺 map.rtlx",        "café.rtlx",
                                            greek + "/χάρτης.rtlx", greek + "/Ἀθῆναι.rtcx"};
    std::vector<std::string> arguments;
    std::string converted;
    for (std::size_t index = 0; index < names.size(); ++index) {
        const bool rtcx = names[index].find(".rtcx") != std::string::npos;
        put(names[index], sample_archive(rtcx ? rxc : rxl, 1 + index, 6400 + index));
        arguments.push_back(names[index]);
        converted += success(names[index].substr(0, names[index].size() - 1));
    }
    arguments.push_back("нет.rtlx");
    Result result = run(arguments);
    const std::string not_found = "Warning: Couldn't open \"нет.rtlx\" for reading!\n";
    EXPECT_EQ(result.out, converted);
    EXPECT_EQ(result.err, not_found);
    // In a console window too (a pseudo-terminal here), the names show as
    // they are; but Wine's console shows each half of a character beyond
    // 16 bits (the emoji) as U+FFFD, which Windows' own does not.
    RunOptions console;
    console.terminal = true;
    const std::string emoji = success("🗺 map.rtl");
    const std::size_t at = converted.find(emoji);
    const std::string shown = runs_windows_program()
                                  ? converted.substr(0, at) + success("\uFFFD\uFFFD map.rtl") +
                                        converted.substr(at + emoji.size())
                                  : converted;
    // Under Wine a terminal is the console of a program alone on it, as in a
    // window Explorer opened: after the warning it waits for a key.
    EXPECT_EQ(run(arguments, console).out,
              shown + not_found + (runs_windows_program() ? close_window_prompt : ""));
    for (std::size_t index = 0; index < names.size(); ++index) {
        const std::string output = names[index].substr(0, names[index].size() - 1);
        const bool rtcx = names[index].find(".rtcx") != std::string::npos;
        EXPECT_TRUE(bytes_match(read_file(folder() / fs::u8path(output)),
                                sample_map_file(rtcx ? rxc : rxl, 1 + index, 6400 + index)))
            << output;
    }

    result = run({greek + "/*.rtcx", "地*.rtcx", "κανένα*.rtlx"});
    const std::string no_match = "Warning: Couldn't open \"κανένα*.rtlx\" for reading!\n";
    if (runs_windows_program()) {
        EXPECT_EQ(result.out, success(greek + "/Ἀθῆναι.rtc") + success("地图.rtc"));
        EXPECT_EQ(result.err, no_match);
    } else {
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "Warning: Couldn't open \"" + greek +
                                  "/*.rtcx\" for reading!\n"
                                  "Warning: Couldn't open \"地*.rtcx\" for reading!\n" +
                                  no_match);
    }
}

// Started from Explorer, the Windows program is alone on a console window
// that closes with it; after a problem or the usage it waits for a key, so
// that the lines can be read. A terminal under Wine is such a console. From
// a console window (cmd.exe shares it), with its input redirected, or on any
// other system, it never waits.
TEST_F(Mapdown, OnlyAWindowThatWouldCloseWaitsForAKey) {
    put("good.rtlx", sample_archive(rxl, 1, 6400));
    put("e1.dat", sample_archive(rxl, 1, 6400));
    struct Case {
        std::vector<std::string> arguments;
        bool from_console_window, input_redirected, waits;
        int status;
    };
    const bool windows = runs_windows_program();
    const Case cases[] = {
        {{"missing.rtlx"}, false, false, windows, 0}, {{}, false, false, windows, 0},  // the usage
        {{"e1.dat"}, false, false, windows, 1},       {{"good.rtlx"}, false, false, false, 0},
        {{"missing.rtlx"}, true, false, false, 0},    {{"missing.rtlx"}, false, true, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.arguments.empty() ? "" : c.arguments[0]) << " "
                                        << c.from_console_window << c.input_redirected);
        RunOptions options;
        options.terminal = true;
        options.from_console_window = windows && c.from_console_window;
        options.input_redirected = c.input_redirected;
        const Result result = run(c.arguments, options);
        EXPECT_EQ(result.waited_for_key, c.waits);
        EXPECT_EQ(result.out.find(close_window_prompt) != std::string::npos, c.waits) << result.out;
        EXPECT_EQ(result.status, c.status);
    }
}

// No name can add a line to the output or reach the terminal as a command:
// each control character, and each byte that is not valid UTF-8 (a lone CSI,
// 0x9B, a sequence cut short or overlong, a surrogate), shows as an escape;
// every other character (a backslash, a no-break space) as it stands.
TEST_F(Mapdown, ControlCharactersInNamesShowAsEscapes) {
    std::vector<std::pair<std::string, std::string>> names = {
        {"a\nSuccessfully wrote \"ok.rtl\" to disk.\n.rtlx",
         "a\\nSuccessfully wrote \"ok.rtl\" to disk.\\n.rtlx"},
        {"\t\x1b[2J\x1b]0;title\x07\x7f\r.rtcx", "\\t\\x1b[2J\\x1b]0;title\\x07\\x7f\\x0d.rtcx"},
        {"csi\xc2\x9b"
         "31m\xc2\x80 back\\slash\xc2\xa0"
         "caf\xc3\xa9.rtlx",
         "csi\\u009b31m\\u0080 back\\slash\xc2\xa0"
         "caf\xc3\xa9.rtlx"},
    };
    if (!runs_windows_program()) {  // Windows names are UTF-16: none holds such bytes
        names.push_back(
            {"\x9b"
             "31m\xc3(\xe2\x82\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80\xf0\x9f\x97\xba\xff.rtlx",
             "\\x9b31m\\xc3(\\xe2\\x82\\xc0\\x80\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\xf0\x9f\x97"
             "\xba\\xff.rtlx"});
    }
    std::string warnings;
    for (const auto& [name, shown] : names) {
        warnings += "Warning: Couldn't open \"" + shown + "\" for reading!\n";
    }
    std::vector<std::string> arguments;
    for (const auto& [name, shown] : names) {
        arguments.push_back(name);
    }
    EXPECT_EQ(run(arguments).err, warnings);
    if (!runs_windows_program()) {  // Windows allows no control character in a file's name
        put("new\nline.rtlx", sample_archive(rxl, 1, 6400));
        EXPECT_EQ(run({"new\nline.rtlx"}).out, success("new\\nline.rtl"));
    }
}

TEST_F(Mapdown, AFolderNamedLikeAnArchiveIsSkipped) {
    fs::create_directory(folder() / "folder.rtlx");
    put("good.rtcx", sample_archive(rxc, 1, 6400));
    const Result result = run({"folder.rtlx", "good.rtcx"});
    EXPECT_EQ(result.err, "Warning: Couldn't open \"folder.rtlx\" for reading!\n");
    EXPECT_EQ(result.out, success("good.rtc"));
    EXPECT_EQ(result.status, 0);
}

TEST_F(Mapdown, AValidArchiveWithAnotherEndingEndsTheRun) {
    for (const std::string bad_name : {"e1.RTLX", "e1.rtlX", "e1.Rtcx", "e1.dat", "rtl"}) {
        for (const std::string& name : {std::string("a.rtlx"), bad_name, std::string("b.rtcx")}) {
            put(name, sample_archive(rxl, 1, 6400));
        }
        const Result result = run({"a.rtlx", bad_name, "b.rtcx"});
        EXPECT_EQ(result.out, success("a.rtl"));
        EXPECT_EQ(
            result.err,
            "Error: Input filename doesn't end in .rtlx or .rtcx so I'm stupid and don't know "
            "what to do!\n");
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(listing(), (std::set<std::string>{"a.rtl", "a.rtlx", bad_name, "b.rtcx"}));
        fs::remove_all(folder());
        fs::create_directory(folder());
    }
}

TEST_F(Mapdown, AnOutputNameThatIsAFolderIsReportedAndLeftAlone) {
    put("e1.rtlx", sample_archive(rxl, 1, 6400));
    fs::create_directory(folder() / "e1.rtl");
    put("e1.rtl/inside", "kept");
    const Result result = run({"e1.rtlx"});
    EXPECT_EQ(result.err, "Warning: Couldn't open \"e1.rtl\" for writing!\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(bytes_match(read_file(folder() / "e1.rtl/inside"), "kept"));
    EXPECT_EQ(listing(), (std::set<std::string>{"e1.rtlx", "e1.rtl"}));
}

// A symbolic link at the output's name is replaced, never written through;
// the archive itself at the output's name (a second name of it) is kept, as
// `cp` refuses to copy a file onto itself.
TEST_F(Mapdown, LinksToTheInputAreReplacedNotWrittenThrough) {
    const std::string archive = sample_archive(rxl, 2, 6400);
    put("sym.rtlx", archive);
    put("hard.rtlx", archive);
    fs::create_symlink("sym.rtlx", folder() / "sym.rtl");
    fs::create_hard_link(folder() / "hard.rtlx", folder() / "hard.rtl");
    const Result result = run({"sym.rtlx", "hard.rtlx"});
    EXPECT_TRUE(bytes_match(read_file(folder() / "sym.rtlx"), archive));
    EXPECT_TRUE(bytes_match(read_file(folder() / "hard.rtlx"), archive));
    EXPECT_EQ(fs::hard_link_count(folder() / "hard.rtl"), 2u);
    const std::string hard_kept = "Warning: Couldn't open \"hard.rtl\" for writing!\n";
    if (runs_windows_program()) {
        // The emulator shows a Unix symbolic link as the file it points to,
        // so the link looks like the archive itself, which is kept.
        EXPECT_EQ(result.err, "Warning: Couldn't open \"sym.rtl\" for writing!\n" + hard_kept);
        EXPECT_TRUE(fs::is_symlink(folder() / "sym.rtl"));
        return;
    }
    EXPECT_EQ(result.err, hard_kept);
    EXPECT_EQ(result.out, success("sym.rtl"));
    EXPECT_FALSE(fs::is_symlink(folder() / "sym.rtl"));
    EXPECT_TRUE(bytes_match(read_file(folder() / "sym.rtl"), sample_map_file(rxl, 2, 6400)));
}

TEST_F(Mapdown, AFailedWriteKeepsThePreviousOutputAndReportsNoSuccess) {
    // The limit leaves room for a coverage build's own counter files.
    put("large.rtlx", sample_archive(rxl, 3, 200000));
    put("small.rtlx", sample_archive(rxl, 3, 65536));  // one header too long
    put("large.rtl", "the previous output");
    RunOptions options;
    options.file_size = 65536;
    const Result result = run({"large.rtlx", "small.rtlx"}, options);
    EXPECT_EQ(result.err,
              "Warning: Couldn't write \"large.rtl\" to disk!\n"
              "Warning: Couldn't write \"small.rtl\" to disk!\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(bytes_match(read_file(folder() / "large.rtl"), "the previous output"));
    EXPECT_EQ(listing(), (std::set<std::string>{"large.rtlx", "small.rtlx", "large.rtl"}));
}

TEST_F(Mapdown, ConvertsArchivesLargerThanTwoAndFourGiB) {
    const std::uint64_t gib = 1ull << 30;
    for (const std::uint64_t position : {2 * gib + 8, 5 * gib + 100}) {
        const std::uint64_t directory = position + 7000;
        put_sparse("big.rtcx", {{0, archive_header(rxc, 1, directory, 1)},
                                {position, sample_map_array(position, 4, 7000)},
                                {directory, directory_entry("MAPS", position, 7000)}});
        const Result result = run({"big.rtcx"});
        EXPECT_EQ(result.out, success("big.rtc")) << result.err;
        EXPECT_TRUE(bytes_match(read_file(folder() / "big.rtc"), sample_map_file(rxc, 4, 7000)));
    }
}

// Large map arrays live in memory placed for huge pages, rounded up to whole
// 2 MiB pages; the output holds exactly the map array all the same.
TEST_F(Mapdown, MapArraysAroundTheHugePageThresholdConvertExactly) {
    const std::uint32_t mib = 1u << 20;
    std::vector<std::string> arguments;
    const std::uint32_t sizes[] = {4 * mib - 1, 4 * mib, 6 * mib + 3};
    for (const std::uint32_t size : sizes) {
        arguments.push_back("m" + std::to_string(size) + ".rtlx");
        put(arguments.back(), sample_archive(rxl, 7, size));
    }
    const Result result = run(arguments);
    EXPECT_EQ(result.err, "");
    for (const std::uint32_t size : sizes) {
        EXPECT_TRUE(bytes_match(read_file(folder() / ("m" + std::to_string(size) + ".rtl")),
                                sample_map_file(rxl, 7, size)))
            << size;
    }
}

TEST_F(Mapdown, AMapArrayTooLargeForMemoryIsSkipped) {
    if (under_address_sanitizer || !runs_natively()) {
        GTEST_SKIP() << direct_only
                     << ", built without AddressSanitizer: it or a runner needs more address "
                        "space than the limit";
    }
    const std::uint64_t size = 1ull << 30;
    put_sparse("huge.rtlx", {{0, archive_header(rxl, 1, 24 + size, 1)},
                             {24, sample_map_array(24, 1, 6400)},
                             {24 + size, directory_entry("MAPS", 24, size)}});
    put("small.rtlx", sample_archive(rxl, 1, 6400));
    RunOptions options;
    options.address_space = 256u << 20;
    const Result result = run({"huge.rtlx", "small.rtlx"}, options);
    EXPECT_EQ(result.err, "Warning: Not enough memory to convert \"huge.rtlx\"!\n");
    EXPECT_EQ(result.out, success("small.rtl"));
    EXPECT_EQ(result.status, 0);
}

TEST_F(Mapdown, HundredsOfFilesWithFewFileDescriptors) {
    std::vector<std::string> arguments;
    std::string expected;
    for (int index = 0; index < 300; ++index) {
        const std::string name = "m" + std::to_string(index) + (index % 2 ? ".rtcx" : ".rtlx");
        put(name, sample_archive(index % 2 ? rxc : rxl, 1 + index % 100, 6400 + index));
        arguments.push_back(name);
        expected += success(name.substr(0, name.size() - 1));
    }
    RunOptions options;
    if (runs_natively()) {
        options.open_files = 12;  // a leak of one descriptor per file would show
        // A small stack, where `ls` and `cp` run: nothing large lives on it.
        options.stack = under_address_sanitizer ? RLIM_INFINITY : 64u << 10;
    }
    const Result result = run(arguments, options);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, expected);
    EXPECT_TRUE(bytes_match(read_file(folder() / "m299.rtc"), sample_map_file(rxc, 100, 6699)));
}

}  // namespace
