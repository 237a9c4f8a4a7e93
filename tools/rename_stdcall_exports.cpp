// Gives the exports of the 32-bit module their decorated stdcall names (_ImpliedVol@52) after
// linking.
//
// GNU ld reads "@" in a symbol name as a symbol version, so the module is linked with placeholder
// names of the same length, "_ImpliedVol_52" (the build renames the exports to them in the
// objects). This tool turns each placeholder into its decorated name in place, in the string
// tables of the dynamic and the static symbol table, and rebuilds the SysV hash table (.hash) that
// the dynamic loader looks names up by, since the hashes of the new names differ. The module must
// be linked with a SysV hash table only (-Wl,--hash-style=sysv): a GNU hash table would be left
// stale, and the tool refuses such a module.
//
//   rename_stdcall_exports <module.so>
//
// Exit status 0 when every placeholder found was renamed (or the module holds no placeholder and
// at least one decorated name, as after an earlier run), 1 with a message otherwise.
#include <elf.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "calibration/exports/export_names.h"

namespace {

struct ExportName {
  const char* placeholder;
  const char* decorated;
};

#define SERIVANE_EXPORT_ROW(name, bytes) \
  {"_" #name "_" #bytes, SERIVANE_DECORATED_NAME(name, bytes)},
constexpr ExportName kExports[] = {SERIVANE_EXPORTS(SERIVANE_EXPORT_ROW)};
#undef SERIVANE_EXPORT_ROW

// The module's bytes with bounds-checked access to the ELF structures in them.
class Image {
 public:
  explicit Image(std::vector<unsigned char> bytes) : bytes_(std::move(bytes)) {}

  template <class T>
  T* at(std::uint64_t offset, std::uint64_t count = 1) {
    if (offset > bytes_.size() || count * sizeof(T) > bytes_.size() - offset) {
      throw std::runtime_error("truncated or malformed ELF file");
    }
    return reinterpret_cast<T*>(bytes_.data() + offset);
  }

  // The NUL-terminated string at `offset` of the string table section `strtab`.
  std::string stringAt(const Elf32_Shdr& strtab, std::uint32_t offset) {
    if (offset >= strtab.sh_size) throw std::runtime_error("string offset outside its table");
    const char* begin = at<char>(strtab.sh_offset, strtab.sh_size);
    const void* end = std::memchr(begin + offset, '\0', strtab.sh_size - offset);
    if (end == nullptr) throw std::runtime_error("unterminated string in a string table");
    return std::string(begin + offset, static_cast<const char*>(end));
  }

  const std::vector<unsigned char>& bytes() const { return bytes_; }

 private:
  std::vector<unsigned char> bytes_;
};

// The System V ELF hash of a symbol name.
std::uint32_t elfHash(const std::string& name) {
  std::uint32_t h = 0;
  for (unsigned char c : name) {
    h = (h << 4) + c;
    const std::uint32_t g = h & 0xf0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

struct Reference {
  std::uint32_t offset;
  std::uint32_t length;  // without the terminating NUL
};

// Renames the placeholders among the names of symbol table `symtab` in place. `others` are the
// further strings of the same string table (library names, version names): a renamed name must
// share no byte with any other string, as a linker that merges string tails could have arranged.
// Returns the number of names renamed.
int renameInTable(Image& image,
                  const std::vector<Elf32_Shdr>& sections,
                  const Elf32_Shdr& symtab,
                  std::vector<Reference> others) {
  if (symtab.sh_link >= sections.size()) throw std::runtime_error("bad string table link");
  const Elf32_Shdr& strtab = sections[symtab.sh_link];
  const std::uint32_t count = symtab.sh_size / sizeof(Elf32_Sym);
  Elf32_Sym* symbols = image.at<Elf32_Sym>(symtab.sh_offset, count);

  std::map<std::string, const char*> decoratedOf;
  for (const ExportName& e : kExports) decoratedOf[e.placeholder] = e.decorated;

  std::vector<std::uint32_t> toRename;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string name = image.stringAt(strtab, symbols[i].st_name);
    if (decoratedOf.count(name) != 0) {
      toRename.push_back(i);
    } else if (symbols[i].st_name != 0) {
      others.push_back({symbols[i].st_name, static_cast<std::uint32_t>(name.size())});
    }
  }
  for (std::uint32_t i : toRename) {
    const std::uint32_t offset = symbols[i].st_name;
    const std::string name = image.stringAt(strtab, offset);
    for (const Reference& r : others) {
      if (r.offset <= offset + name.size() && offset <= r.offset + r.length) {
        throw std::runtime_error("the name " + name + " shares its bytes with another string");
      }
    }
    const std::string decorated = decoratedOf[name];
    if (decorated.size() != name.size()) throw std::logic_error("placeholder of another length");
    std::memcpy(
        image.at<char>(strtab.sh_offset + offset, name.size()), decorated.data(), name.size());
  }
  return static_cast<int>(toRename.size());
}

// Fills the SysV hash table `hash` anew for the names of the dynamic symbol table `dynsym`.
void rebuildHash(Image& image,
                 const std::vector<Elf32_Shdr>& sections,
                 const Elf32_Shdr& hash,
                 const Elf32_Shdr& dynsym) {
  const Elf32_Shdr& dynstr = sections[dynsym.sh_link];
  const std::uint32_t symbolCount = dynsym.sh_size / sizeof(Elf32_Sym);
  Elf32_Word* header = image.at<Elf32_Word>(hash.sh_offset, 2);
  const Elf32_Word nbucket = header[0];
  const Elf32_Word nchain = header[1];
  if (nbucket == 0 || nchain != symbolCount) {
    throw std::runtime_error("the hash table does not match the dynamic symbol table");
  }
  Elf32_Word* bucket = image.at<Elf32_Word>(hash.sh_offset + 8, nbucket + nchain);
  Elf32_Word* chain = bucket + nbucket;
  std::fill(bucket, bucket + nbucket + nchain, 0u);
  const Elf32_Sym* symbols = image.at<Elf32_Sym>(dynsym.sh_offset, symbolCount);
  for (Elf32_Word i = 1; i < symbolCount; ++i) {
    const Elf32_Word b = elfHash(image.stringAt(dynstr, symbols[i].st_name)) % nbucket;
    chain[i] = bucket[b];
    bucket[b] = i;
  }
}

// Strings of .dynstr that are not symbol names: needed libraries, the module's own name, search
// paths, and the names of symbol versions.
std::vector<Reference> dynamicStrings(Image& image,
                                      const std::vector<Elf32_Shdr>& sections,
                                      const Elf32_Shdr& dynstr) {
  std::vector<Reference> refs;
  auto add = [&](std::uint32_t offset) {
    refs.push_back({offset, static_cast<std::uint32_t>(image.stringAt(dynstr, offset).size())});
  };
  for (const Elf32_Shdr& s : sections) {
    if (&sections[s.sh_link] != &dynstr) continue;
    if (s.sh_type == SHT_DYNAMIC) {
      const std::uint32_t n = s.sh_size / sizeof(Elf32_Dyn);
      const Elf32_Dyn* d = image.at<Elf32_Dyn>(s.sh_offset, n);
      for (std::uint32_t i = 0; i < n && d[i].d_tag != DT_NULL; ++i) {
        const Elf32_Sword tag = d[i].d_tag;
        if (tag == DT_NEEDED || tag == DT_SONAME || tag == DT_RPATH || tag == DT_RUNPATH) {
          add(d[i].d_un.d_val);
        }
      }
    } else if (s.sh_type == SHT_GNU_verneed) {
      std::uint64_t at = s.sh_offset;
      for (std::uint32_t k = 0; k < s.sh_info; ++k) {
        const Elf32_Verneed* vn = image.at<Elf32_Verneed>(at);
        add(vn->vn_file);
        std::uint64_t aux = at + vn->vn_aux;
        for (std::uint32_t j = 0; j < vn->vn_cnt; ++j) {
          const Elf32_Vernaux* va = image.at<Elf32_Vernaux>(aux);
          add(va->vna_name);
          aux += va->vna_next;
        }
        at += vn->vn_next;
      }
    } else if (s.sh_type == SHT_GNU_verdef) {
      std::uint64_t at = s.sh_offset;
      for (std::uint32_t k = 0; k < s.sh_info; ++k) {
        const Elf32_Verdef* vd = image.at<Elf32_Verdef>(at);
        std::uint64_t aux = at + vd->vd_aux;
        for (std::uint32_t j = 0; j < vd->vd_cnt; ++j) {
          const Elf32_Verdaux* va = image.at<Elf32_Verdaux>(aux);
          add(va->vda_name);
          aux += va->vda_next;
        }
        at += vd->vd_next;
      }
    }
  }
  return refs;
}

void renameExports(const std::string& path) {
  std::vector<unsigned char> bytes;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  Image image(std::move(bytes));
  const Elf32_Ehdr& eh = *image.at<Elf32_Ehdr>(0);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS32 ||
      eh.e_ident[EI_DATA] != ELFDATA2LSB || eh.e_machine != EM_386 || eh.e_type != ET_DYN) {
    throw std::runtime_error(path + " is not a 32-bit x86 shared library");
  }
  if (eh.e_shentsize != sizeof(Elf32_Shdr)) throw std::runtime_error("unexpected section size");
  const Elf32_Shdr* first = image.at<Elf32_Shdr>(eh.e_shoff, eh.e_shnum);
  const std::vector<Elf32_Shdr> sections(first, first + eh.e_shnum);

  const Elf32_Shdr* dynsym = nullptr;
  const Elf32_Shdr* symtab = nullptr;
  const Elf32_Shdr* hash = nullptr;
  for (const Elf32_Shdr& s : sections) {
    if (s.sh_link >= sections.size()) throw std::runtime_error("bad section link");
    if (s.sh_type == SHT_DYNSYM) dynsym = &s;
    if (s.sh_type == SHT_SYMTAB) symtab = &s;
    if (s.sh_type == SHT_HASH) hash = &s;
    if (s.sh_type == SHT_GNU_HASH) {
      throw std::runtime_error(path + " has a GNU hash table: link it with --hash-style=sysv");
    }
  }
  if (dynsym == nullptr || hash == nullptr) {
    throw std::runtime_error(path + " has no dynamic symbol table or no SysV hash table");
  }

  const int renamed = renameInTable(
      image, sections, *dynsym, dynamicStrings(image, sections, sections[dynsym->sh_link]));
  if (renamed == 0) {
    // Nothing to do only if an earlier run left decorated names behind.
    const Elf32_Shdr& dynstr = sections[dynsym->sh_link];
    const std::uint32_t n = dynsym->sh_size / sizeof(Elf32_Sym);
    const Elf32_Sym* syms = image.at<Elf32_Sym>(dynsym->sh_offset, n);
    for (std::uint32_t i = 0; i < n; ++i) {
      const std::string name = image.stringAt(dynstr, syms[i].st_name);
      for (const ExportName& e : kExports) {
        if (name == e.decorated) return;
      }
    }
    throw std::runtime_error(path + " exports none of the placeholder names");
  }
  rebuildHash(image, sections, *hash, *dynsym);
  if (symtab != nullptr) renameInTable(image, sections, *symtab, {});

  // Written back in place (the size is unchanged), which keeps the file's mode.
  std::ofstream out(path, std::ios::binary | std::ios::in | std::ios::out);
  out.write(reinterpret_cast<const char*>(image.bytes().data()),
            static_cast<std::streamsize>(image.bytes().size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  std::printf("%s: %d exports renamed to their decorated names\n", path.c_str(), renamed);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rename_stdcall_exports <module.so>\n");
    return 1;
  }
  try {
    renameExports(argv[1]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "rename_stdcall_exports: %s\n", e.what());
    return 1;
  }
  return 0;
}
