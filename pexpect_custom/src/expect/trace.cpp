// Call traces: capture with backtrace(3), name each frame's object file and function on demand.
//
// Function names come from the object file's full symbol table (read from the file itself, so
// functions that are not exported are named too), else from the dynamic symbols dladdr sees.
// Source file names and line numbers would need the debugging information decoded; instead an
// entry names the object file and the offset of the call in it, which addr2line turns into a
// source line when wanted.
#include "expect/trace.hpp"

#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <climits>
#include <cstring>
#include <map>
#include <string_view>

#include "expect/text_form.hpp"

namespace pexpect_custom::detail {

namespace {

// ---- object files and their symbol tables -------------------------------------------------

// A file mapped read-only; empty when it cannot be opened or mapped.
class mapped_file {
 public:
  explicit mapped_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > 0) {
      void* data = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (data != MAP_FAILED)
        bytes_ = {static_cast<const char*>(data), static_cast<std::size_t>(info.st_size)};
    }
    ::close(fd);
  }
  ~mapped_file() {
    if (!bytes_.empty()) ::munmap(const_cast<char*>(bytes_.data()), bytes_.size());
  }
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;

  std::string_view bytes() const { return bytes_; }

 private:
  std::string_view bytes_;
};

// Copies a T out of `file` at `offset` (the mapping gives no alignment guarantee for it).
template <typename T>
std::optional<T> read_at(std::string_view file, std::uint64_t offset) {
  if (offset > file.size() || file.size() - offset < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, file.data() + offset, sizeof(T));
  return value;
}

// The NUL-terminated string at `offset`, provided it ends inside `limit` bytes and the file.
std::optional<std::string> string_at(std::string_view file, std::uint64_t offset, std::uint64_t limit) {
  if (offset >= file.size()) return std::nullopt;
  std::string_view rest = file.substr(offset, limit);
  std::size_t end = rest.find('\0');
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(rest.substr(0, end));
}

using elf_header = ElfW(Ehdr);
using section_header = ElfW(Shdr);
using elf_symbol = ElfW(Sym);

// ELF64_ST_TYPE and ELF32_ST_TYPE are the same macro.
bool is_function_containing(const elf_symbol& symbol, std::uintptr_t address) {
  return ELF64_ST_TYPE(symbol.st_info) == STT_FUNC && symbol.st_shndx != SHN_UNDEF &&
         address >= symbol.st_value && address - symbol.st_value < symbol.st_size;
}

std::optional<std::string> function_in_table(std::string_view file, const section_header& symbols,
                                             const section_header& names, std::uintptr_t address) {
  const std::uint64_t count = symbols.sh_size / sizeof(elf_symbol);
  for (std::uint64_t i = 0; i < count; ++i) {
    auto symbol = read_at<elf_symbol>(file, symbols.sh_offset + i * sizeof(elf_symbol));
    if (!symbol) break;
    if (!is_function_containing(*symbol, address) || symbol->st_name >= names.sh_size) continue;
    return string_at(file, names.sh_offset + symbol->st_name, names.sh_size - symbol->st_name);
  }
  return std::nullopt;
}

bool is_native_elf(const elf_header& header) {
  constexpr unsigned char native_class = __ELF_NATIVE_CLASS == 64 ? ELFCLASS64 : ELFCLASS32;
  return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == native_class &&
         header.e_shentsize == sizeof(section_header);
}

// The mangled name of the function whose code covers `address` (a link-time address of the
// object file), searched in the file's full symbol table; nullopt for a stripped file.
std::optional<std::string> symbol_table_function(std::string_view file, std::uintptr_t address) {
  auto header = read_at<elf_header>(file, 0);
  if (!header || !is_native_elf(*header) || header->e_shoff > file.size()) return std::nullopt;
  for (unsigned i = 0; i < header->e_shnum; ++i) {
    auto section = read_at<section_header>(file, header->e_shoff + i * sizeof(section_header));
    if (!section || section->sh_type != SHT_SYMTAB) continue;
    auto names = read_at<section_header>(
        file, header->e_shoff + std::uint64_t{section->sh_link} * sizeof(section_header));
    if (!names || names->sh_type != SHT_STRTAB || names->sh_offset > file.size()) continue;
    if (auto name = function_in_table(file, *section, *names, address)) return name;
  }
  return std::nullopt;
}

// ---- frames -------------------------------------------------------------------------------

// Object files opened during one symbolisation, each mapped once.
class object_files {
 public:
  std::string_view bytes(const std::string& path) {
    return files_.try_emplace(path, path).first->second.bytes();
  }

 private:
  std::map<std::string, mapped_file> files_;
};

std::string executable_path() {
  std::array<char, PATH_MAX> path{};
  ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  return length > 0 ? std::string(path.data(), static_cast<std::size_t>(length)) : std::string("??");
}

trace_frame describe(void* return_address, object_files& files) {
  trace_frame frame;
  // The call instruction ends just before the return address; look up that one, since a call
  // that never returns may be the last instruction of its function.
  const auto call = reinterpret_cast<std::uintptr_t>(return_address) - 1;
  Dl_info info{};
  link_map* object = nullptr;
  // The address is only looked up, never dereferenced.
  // NOLINTNEXTLINE(performance-no-int-to-ptr)
  if (::dladdr1(reinterpret_cast<void*>(call), &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) ==
          0 ||
      object == nullptr) {
    frame.source_file = "??";
    frame.offset = call;
    return frame;
  }
  // The main program's link map carries no name; its file is reached through /proc.
  const bool main_program = object->l_name[0] == '\0';
  frame.source_file = main_program ? executable_path() : object->l_name;
  frame.offset = call - object->l_addr;
  auto name =
      symbol_table_function(files.bytes(main_program ? "/proc/self/exe" : frame.source_file), frame.offset);
  if (name)
    frame.function = demangle(name->c_str());
  else if (info.dli_sname)
    frame.function = demangle(info.dli_sname);
  return frame;
}

std::string entry_text(const trace_frame& frame) {
  std::string entry = "  File \"" + frame.source_file + "\", ";
  entry += frame.line ? "line " + std::to_string(*frame.line) : "offset " + hex_text(frame.offset);
  entry += ", in " + frame.function + "\n";
  if (frame.source_line) entry += "    " + *frame.source_line + "\n";
  return entry;
}

// Every trace ends inside the constructors of the error family, which made the capture, and
// possibly in capture_trace itself (when a sanitizer's wrapper of backtrace took frame 0).
bool is_capture_machinery(const trace_frame& frame) {
  constexpr std::string_view machinery[] = {
      "pexpect_custom::detail::capture_trace(",
      "pexpect_custom::ExceptionPexpect::", "pexpect_custom::EOF_::", "pexpect_custom::TIMEOUT::"};
  for (auto prefix : machinery) {
    if (frame.function.starts_with(prefix)) return true;
  }
  return false;
}

bool is_alphanumeric(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

[[gnu::noinline]] std::vector<void*> capture_trace() noexcept {
  constexpr int max_frames = 128;
  std::array<void*, max_frames> frames{};
  const int count = ::backtrace(frames.data(), max_frames);
  if (count <= 1) return {};
  try {
    // Frame 0 is this function; backtrace lists the innermost frame first.
    return std::vector<void*>(std::make_reverse_iterator(frames.begin() + count),
                              std::make_reverse_iterator(frames.begin() + 1));
  } catch (...) {
    return {};
  }
}

std::vector<trace_frame> symbolize(const std::vector<void*>& addresses) {
  object_files files;
  std::vector<trace_frame> frames;
  frames.reserve(addresses.size());
  for (void* address : addresses) frames.push_back(describe(address, files));
  return frames;
}

std::string format_frames(const std::vector<trace_frame>& frames) {
  std::string text;
  for (const auto& frame : frames) {
    if (filter_not_pexpect(frame)) text += entry_text(frame);
  }
  return text;
}

std::string format_trace(const std::vector<void*>& addresses) {
  std::vector<trace_frame> frames = symbolize(addresses);
  while (!frames.empty() && is_capture_machinery(frames.back())) frames.pop_back();
  return format_frames(frames);
}

bool filter_not_pexpect(const trace_frame& item) {
  // An extension must end the name or be followed by a non-alphanumeric byte, so that
  // "pexpect.cfg" is not taken for "pexpect.c".
  constexpr std::string_view stem = "pexpect.";
  constexpr std::string_view extensions[] = {"cpp", "cc", "cxx", "c",   "hpp", "hh",
                                             "hxx", "h",  "ipp", "tcc", "inl", "py"};
  const std::string_view name = item.source_file;
  for (auto at = name.find(stem); at != std::string_view::npos; at = name.find(stem, at + 1)) {
    const std::string_view rest = name.substr(at + stem.size());
    for (auto extension : extensions) {
      if (rest.starts_with(extension) &&
          (rest.size() == extension.size() || !is_alphanumeric(rest[extension.size()]))) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace pexpect_custom::detail
