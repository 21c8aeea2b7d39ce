// The two executables: the light vextune links the engine and the audio
// decoder only, and hands every other command over to vextune-tools beside
// it, arguments, output and exit status unchanged.
#include <elf.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include <gtest/gtest.h>

#include "cli_test_support.h"
#include "command_line.h"
#include "handover.h"

namespace vxt::cli::test {
namespace {

// The DT_NEEDED entries of a 64-bit ELF file, read from its section headers
// (the dynamic section and the string table it links to). Fails the test,
// and gives nothing, when the file is not what it should be.
std::vector<std::string> needed_libraries(const fs::path& path)
{
    const std::vector<std::uint8_t> image = read_bytes(path);
    const auto fits = [&](std::uint64_t offset, std::uint64_t size) {
        return offset <= image.size() && size <= image.size() - offset;
    };
    Elf64_Ehdr header{};
    if (!fits(0, sizeof header)) {
        ADD_FAILURE() << path << " is too short for an ELF header";
        return {};
    }
    std::memcpy(&header, image.data(), sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_shentsize != sizeof(Elf64_Shdr) ||
        !fits(header.e_shoff, std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr))) {
        ADD_FAILURE() << path << " is not a 64-bit ELF file with section headers";
        return {};
    }
    const auto section = [&](std::size_t index) {
        Elf64_Shdr s{};
        std::memcpy(&s, image.data() + header.e_shoff + index * sizeof s, sizeof s);
        return s;
    };
    std::vector<std::string> names;
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr dynamic = section(i);
        if (dynamic.sh_type != SHT_DYNAMIC)
            continue;
        if (dynamic.sh_link >= header.e_shnum || !fits(dynamic.sh_offset, dynamic.sh_size)) {
            ADD_FAILURE() << path << ": a dynamic section out of bounds";
            return {};
        }
        const Elf64_Shdr strings = section(dynamic.sh_link);
        if (!fits(strings.sh_offset, strings.sh_size)) {
            ADD_FAILURE() << path << ": a string table out of bounds";
            return {};
        }
        const char* text = reinterpret_cast<const char*>(image.data() + strings.sh_offset);
        for (std::uint64_t at = 0; at + sizeof(Elf64_Dyn) <= dynamic.sh_size; at += sizeof(Elf64_Dyn)) {
            Elf64_Dyn entry{};
            std::memcpy(&entry, image.data() + dynamic.sh_offset + at, sizeof entry);
            if (entry.d_tag == DT_NULL)
                break;
            if (entry.d_tag != DT_NEEDED)
                continue;
            if (entry.d_un.d_val >= strings.sh_size) {
                ADD_FAILURE() << path << ": a library name out of bounds";
                return {};
            }
            const char* name = text + entry.d_un.d_val;
            names.emplace_back(name, strnlen(name, strings.sh_size - entry.d_un.d_val));
        }
    }
    return names;
}

// Every library the dynamic loader would load for path, by file name, as
// ldd lists them.
std::vector<std::string> loaded_libraries(const fs::path& path)
{
    std::vector<std::string> names;
    const std::string call = "ldd '" + path.string() + "' 2>&1";
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> pipe(::popen(call.c_str(), "r"), ::pclose);
    if (!pipe) {
        ADD_FAILURE() << "cannot run ldd";
        return names;
    }
    std::string text;
    std::array<char, 4096> buffer{};
    for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0;)
        text.append(buffer.data(), got);
    for (const std::string& line : lines_of(text)) {
        const auto begin = line.find_first_not_of(" \t");
        if (begin == std::string::npos)
            continue;
        std::string name = line.substr(begin, line.find_first_of(" \t", begin) - begin);
        if (const auto slash = name.rfind('/'); slash != std::string::npos)
            name.erase(0, slash + 1);
        if (name.find("not") == 0)
            ADD_FAILURE() << "ldd: " << line;
        names.push_back(name);
    }
    return names;
}

bool starts_with_any(const std::string& name, std::initializer_list<const char*> prefixes)
{
    return std::any_of(prefixes.begin(), prefixes.end(), [&](const char* p) { return name.starts_with(p); });
}

bool contains(const std::vector<std::string>& names, const char* prefix)
{
    return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return n.starts_with(prefix); });
}

TEST(executables, the_signature_tool_links_the_engine_and_the_audio_libraries_only)
{
    const std::vector<std::string> needed = needed_libraries(vextune_path);
    for (const std::string& name : needed) {
        EXPECT_TRUE(starts_with_any(name, {"libc.so", "libm.so", "libstdc++.so", "libgcc_s.so", "ld-linux",
                                           "libpthread.so", "libdl.so", "linux-vdso", "libvextune-engine.so",
                                           "libsndfile.so", "libsamplerate.so",
                                           // the runtimes of a sanitizer build
                                           "libasan.so", "libubsan.so", "libtsan.so"}))
            << "vextune links " << name;
    }
    for (const char* wanted : {"libvextune-engine.so", "libsndfile.so", "libsamplerate.so"})
        EXPECT_TRUE(contains(needed, wanted)) << "vextune does not link " << wanted;

    // libsndfile brings its codecs; nothing may bring the network, the
    // stores, the sound server or a TLS library.
    const std::vector<std::string> loaded = loaded_libraries(vextune_path);
    EXPECT_TRUE(contains(loaded, "libsndfile.so"));
    for (const std::string& name : loaded) {
        EXPECT_FALSE(
            starts_with_any(name, {"libcurl", "libpq.", "libpqxx", "libpulse", "liblmdb", "libssl", "libcrypto",
                                   "libgnutls", "libcpp-httplib", "libX11", "libdbus", "libkrb5", "libgssapi"}))
            << "vextune loads " << name;
    }
}

// The reading above sees what it should, or the test before proves nothing.
TEST(executables, the_tools_link_what_the_other_commands_need)
{
    const std::vector<std::string> needed = needed_libraries(vextune_tools_path);
    for (const char* wanted : {"libvextune-engine.so", "libcurl.so", "liblmdb.so"})
        EXPECT_TRUE(contains(needed, wanted)) << "vextune-tools does not link " << wanted;
    EXPECT_TRUE(contains(loaded_libraries(vextune_tools_path), "libcurl.so"));
}

TEST(executables, every_command_is_in_the_table_once_with_its_own_usage)
{
    const auto table = commands();
    std::vector<std::string_view> names;
    for (const command& c : table) {
        SCOPED_TRACE(std::string(c.name));
        names.push_back(c.name);
        EXPECT_TRUE(c.usage.starts_with("usage: vextune " + std::string(c.name))) << c.usage;
        EXPECT_NE(c.setup, nullptr);  // the tools have every command
        EXPECT_FALSE(c.summary.empty());
        EXPECT_NE(program_usage(table).find(std::string(c.name)), std::string::npos);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
    for (const char* light : {"signature", "dump"})
        EXPECT_TRUE(std::any_of(table.begin(), table.end(), [&](const command& c) {
            return c.name == light && c.light;
        })) << light;
}

using handover_test = scratch_test;

void make_executable(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    fs::permissions(path, fs::perms::owner_all);
}

TEST_F(handover_test, the_tools_are_found_beside_the_executable_or_under_libexec)
{
    const fs::path bin = file("prefix/bin");
    const fs::path libexec = file("prefix/libexec/vextune");
    const std::string exe = (bin / "vextune").string();
    fs::create_directories(bin);
    EXPECT_EQ(tools_path_beside(exe, "../libexec/vextune"), "");

    make_executable(libexec / "vextune-tools", "#!/bin/sh\n");
    EXPECT_EQ(tools_path_beside(exe, "../libexec/vextune"), (bin / "../libexec/vextune/vextune-tools").string());

    make_executable(bin / "vextune-tools", "#!/bin/sh\n");
    EXPECT_EQ(tools_path_beside(exe, "../libexec/vextune"), (bin / "vextune-tools").string());

    // A file that cannot be run is not the tools.
    fs::permissions(bin / "vextune-tools", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(tools_path_beside(exe, "../libexec/vextune"), (bin / "../libexec/vextune/vextune-tools").string());
    EXPECT_EQ(tools_path_beside("vextune", "../libexec/vextune"), "");
}

TEST_F(handover_test, arguments_output_and_exit_status_pass_through)
{
    const fs::path light = file("bin/vextune");
    fs::create_directories(light.parent_path());
    fs::copy_file(vextune_path, light);
    // Stands in for the tools: says what it was given, exits 3.
    make_executable(file("bin/vextune-tools"), "#!/bin/sh\nprintf '%s|' \"$0\" \"$@\"; echo 'on stderr' >&2; exit 3\n");
    run_options here;
    here.executable = light;

    const struct {
        std::vector<std::string> args;
    } cases[] = {{{"listen", "--input", "a b.wav", "--seconds", "6"}},
                 {{"devices"}},
                 {{"recognize", "--help"}},
                 {{"catalogue", "add", "--db", "x", "--", "-odd name.flac"}},
                 {{"match", "--db", "x"}},
                 {{"serve", "--threads", "0"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const run_result r = run_vextune(c.args, here);
        std::string expected = file("bin/vextune-tools").string() + "|";
        for (const std::string& a : c.args)
            expected += a + "|";
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.err, "on stderr\n");
    }

    // The light commands never leave the executable.
    const run_result version = run_vextune({"--version"}, here);
    EXPECT_EQ(version.out, std::string(engine_version()) + "\n");
    const run_result sign =
        run_vextune({"signature", "-o", file("a.sig").string(), clip_path(clip_names[0]).string()}, here);
    EXPECT_EQ(sign.exit_code, 0) << sign.err;
    EXPECT_EQ(find_problem(read_bytes(file("a.sig"))), "");
}

TEST_F(handover_test, a_missing_tools_executable_is_an_error)
{
    const fs::path light = file("alone/vextune");
    fs::create_directories(light.parent_path());
    fs::copy_file(vextune_path, light);
    run_options here;
    here.executable = light;
    for (const std::string command : {"listen", "catalogue"}) {
        const run_result r = run_vextune({command, "--help"}, here);
        EXPECT_EQ(r.exit_code, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "vextune: '" + command + "' is run by vextune-tools, which is not installed beside " +
                             light.string() + "\n");
    }
    // Its help still lists every command.
    const run_result help = run_vextune({"--help"}, here);
    EXPECT_EQ(help.exit_code, 0);
    for (const command& c : commands())
        EXPECT_NE(help.out.find(std::string(c.name)), std::string::npos) << c.name;
}

}  // namespace
}  // namespace vxt::cli::test
