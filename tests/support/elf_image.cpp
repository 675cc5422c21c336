#include "tests/support/elf_image.h"

#include <algorithm>
#include <cstring>

namespace kotar::test {

namespace {

struct Elf32Types {
    using Ehdr = Elf32_Ehdr;
    using Phdr = Elf32_Phdr;
    using Shdr = Elf32_Shdr;
    using Rel = Elf32_Rel;
    using Rela = Elf32_Rela;
    static constexpr unsigned char kClass = ELFCLASS32;
    static constexpr std::uint16_t kMachine = EM_386;
};

struct Elf64Types {
    using Ehdr = Elf64_Ehdr;
    using Phdr = Elf64_Phdr;
    using Shdr = Elf64_Shdr;
    using Rel = Elf64_Rel;
    using Rela = Elf64_Rela;
    static constexpr unsigned char kClass = ELFCLASS64;
    static constexpr std::uint16_t kMachine = EM_X86_64;
};

template <typename T>
void append(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
void put(std::string& out, std::size_t at, const T& value) {
    std::memcpy(out.data() + at, &value, sizeof value);
}

// The bytes of one section: its relocation entries, whose r_info and addend
// never fall into a text range (so reading the wrong field shows), then its
// extra bytes.
template <typename Types>
std::string sectionContents(const ElfSection& section) {
    std::string bytes;
    for (std::uint64_t target : section.offsets) {
        if (section.type == SHT_REL) {
            typename Types::Rel rel{};
            rel.r_offset = static_cast<decltype(rel.r_offset)>(target);
            rel.r_info = static_cast<decltype(rel.r_info)>(0x7FFFF00007ull);
            append(bytes, rel);
        } else {
            typename Types::Rela rela{};
            rela.r_offset = static_cast<decltype(rela.r_offset)>(target);
            rela.r_info = static_cast<decltype(rela.r_info)>(0x7FFFF00008ull);
            rela.r_addend = -1;
            append(bytes, rela);
        }
    }
    return bytes + section.extraBytes;
}

template <typename Types>
std::string build(const ElfSpec& spec) {
    using Ehdr = typename Types::Ehdr;
    using Phdr = typename Types::Phdr;
    using Shdr = typename Types::Shdr;

    std::string image(sizeof(Ehdr), '\0');
    const std::size_t phdrAt = std::max<std::size_t>(image.size(), spec.phdrAt);
    image.resize(phdrAt, '\0');
    for (const ElfSegment& segment : spec.segments) {
        Phdr phdr{};
        phdr.p_type = segment.type;
        phdr.p_flags = segment.flags;
        phdr.p_offset = static_cast<decltype(phdr.p_offset)>(segment.offset);
        phdr.p_vaddr = static_cast<decltype(phdr.p_vaddr)>(segment.vaddr);
        phdr.p_paddr = phdr.p_vaddr;
        phdr.p_filesz = static_cast<decltype(phdr.p_filesz)>(segment.memsz);
        phdr.p_memsz = static_cast<decltype(phdr.p_memsz)>(segment.memsz);
        phdr.p_align = 0x1000;
        append(image, phdr);
    }

    std::vector<Shdr> shdrs(1 + spec.sections.size(), Shdr{});
    for (std::size_t i = 0; i < spec.sections.size(); ++i) {
        const ElfSection& section = spec.sections[i];
        const std::string contents = sectionContents<Types>(section);
        Shdr& shdr = shdrs[i + 1];
        shdr.sh_name = 0;
        shdr.sh_type = section.type;
        shdr.sh_offset = static_cast<decltype(shdr.sh_offset)>(section.fileOffset.value_or(image.size()));
        shdr.sh_size = static_cast<decltype(shdr.sh_size)>(section.size.value_or(contents.size()));
        const std::size_t entrySize = section.type == SHT_REL ? sizeof(typename Types::Rel)
                                                              : sizeof(typename Types::Rela);
        shdr.sh_entsize = static_cast<decltype(shdr.sh_entsize)>(section.entsize.value_or(entrySize));
        shdr.sh_link = 0;
        shdr.sh_info = 1;
        image += contents;
    }
    const std::size_t shdrAt = image.size();
    for (const Shdr& shdr : shdrs) append(image, shdr);

    Ehdr ehdr{};
    std::memcpy(ehdr.e_ident, ELFMAG, SELFMAG);
    ehdr.e_ident[EI_CLASS] = Types::kClass;
    ehdr.e_ident[EI_DATA] = ELFDATA2LSB;
    ehdr.e_ident[EI_VERSION] = EV_CURRENT;
    ehdr.e_type = ET_EXEC;
    ehdr.e_machine = spec.machine.value_or(Types::kMachine);
    ehdr.e_version = EV_CURRENT;
    ehdr.e_phoff = static_cast<decltype(ehdr.e_phoff)>(spec.phoff.value_or(phdrAt));
    ehdr.e_shoff = static_cast<decltype(ehdr.e_shoff)>(spec.shoff.value_or(shdrAt));
    ehdr.e_ehsize = sizeof(Ehdr);
    ehdr.e_phentsize = spec.phentsize.value_or(sizeof(Phdr));
    ehdr.e_phnum = spec.phnum.value_or(static_cast<std::uint16_t>(spec.segments.size()));
    ehdr.e_shentsize = spec.shentsize.value_or(sizeof(Shdr));
    ehdr.e_shnum = spec.shnum.value_or(static_cast<std::uint16_t>(shdrs.size()));
    put(image, 0, ehdr);
    return image;
}

}  // namespace

std::string buildElf(const ElfSpec& spec) {
    return spec.elf64 ? build<Elf64Types>(spec) : build<Elf32Types>(spec);
}

}  // namespace kotar::test
