// The virtual tables inside the built tzv58_419.so, slot by slot.
//
// The host calls the device only through these slots, so each one must hold
// the operation of the class the host framework expects there: a slot bound to
// another class's function loads and links, then runs the wrong code. The test
// reads the library file itself (its symbol table and dynamic relocations), as
// the controller's loader will see it, on whatever target it was built for.
//
// TZV58_PLUGIN names another build of the library to read (one made with a
// controller's toolchain, for instance); the tests run on the same target.
#include <cxxabi.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string demangle(const std::string& name) {
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status != 0 || !text) return name;
    std::string out(text);
    std::free(text);
    return out;
}

void replace_all(std::string& s, const std::string& from, const std::string& to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

// "UniDataDevice<pmbuspower_data<...>, PMBusProtocol, 5535>::InitSetting(Json::Value const&)"
// -> "UniDataDevice::InitSetting(Json::Value const&)": template arguments of
// the class go, those of the parameters stay; std::string reads the same under
// either string ABI; destructors say which of the two they are.
std::string operation_name(const std::string& mangled) {
    std::string s = demangle(mangled);
    replace_all(s, "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >", "std::string");
    replace_all(s, "std::basic_string<char, std::char_traits<char>, std::allocator<char> >", "std::string");
    replace_all(s, "[abi:cxx11]", "");
    std::string out;
    int depth = 0;
    size_t i = 0;
    for (; i < s.size() && !(s[i] == '(' && depth == 0); ++i) {
        if (s[i] == '<') ++depth;
        if (depth == 0) out += s[i];
        if (s[i] == '>') --depth;
    }
    out += s.substr(i);
    const auto ends_with = [&](const char* tail) {
        const size_t n = std::strlen(tail);
        return mangled.size() >= n && mangled.compare(mangled.size() - n, n, tail) == 0;
    };
    if (ends_with("D0Ev")) out += " [deleting]";
    if (ends_with("D1Ev") || ends_with("D2Ev")) out += " [complete]";
    return out;
}

// The parts of an ELF shared library of this test's own class and byte order
// that name what a data word will hold once the loader has relocated it.
class Library {
public:
    explicit Library(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        ElfW(Ehdr) eh;
        if (bytes_.size() < sizeof eh || std::memcmp(bytes_.data(), ELFMAG, SELFMAG) != 0) {
            error = path + ": not an ELF file";
            return;
        }
        std::memcpy(&eh, bytes_.data(), sizeof eh);
        if (eh.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
            eh.e_machine != native_machine()) {
            error = path + ": built for another target than this test";
            return;
        }
        for (size_t i = 0; i < eh.e_shnum; ++i) sections_.push_back(at<ElfW(Shdr)>(eh.e_shoff + i * eh.e_shentsize));
        for (const auto& sh : sections_) {
            if (sh.sh_type == SHT_SYMTAB) read_symbols(sh);
            if (sh.sh_type == SHT_REL || sh.sh_type == SHT_RELA) read_relocations(sh);
        }
        if (symbols_.empty()) error = path + ": no symbol table (stripped?)";
    }

    // The address and size of the object symbol with this demangled name (or,
    // for a name ending in '<', of the first that starts so); size 0 when
    // there is none.
    std::pair<ElfW(Addr), size_t> object(const std::string& name) const {
        const bool prefix = !name.empty() && name.back() == '<';
        for (const auto& sym : symbols_) {
            if (!sym.object) continue;
            const std::string d = demangle(sym.name);
            if (d == name || (prefix && d.compare(0, name.size(), name) == 0)) return {sym.value, sym.size};
        }
        return {0, 0};
    }

    // Every name of what the word at `address` points to once relocated.
    std::set<std::string> targets(ElfW(Addr) address) const {
        ElfW(Addr) target = word(address);
        const auto r = relocations_.find(address);
        if (r != relocations_.end()) {
            const Relocation& rel = r->second;
            if (!rel.symbol.defined && !rel.symbol.name.empty()) return {rel.symbol.name};
            target = (rel.has_addend ? rel.addend : target) + rel.symbol.value;
        }
        std::set<std::string> names;
        for (const auto& sym : symbols_)
            if (sym.function && sym.value == target) names.insert(sym.name);
        if (target == 0 && names.empty()) names.insert("0");
        return names;
    }

    std::string error;

private:
    struct Symbol {
        std::string name;
        ElfW(Addr) value;
        size_t size;
        bool object;    // defined data
        bool function;  // defined code
        bool defined;
    };
    // Symbol 0 (none) leaves the word relative to the load address; a symbol
    // of the library's own adds its value; an undefined one is the target.
    struct Relocation {
        Symbol symbol;
        bool has_addend;
        ElfW(Addr) addend;
    };

    static int native_machine() {
        ElfW(Ehdr) self;
        std::ifstream in("/proc/self/exe", std::ios::binary);
        in.read(reinterpret_cast<char*>(&self), sizeof self);
        return self.e_machine;
    }

    template <class T>
    T at(size_t offset) const {
        T v{};
        if (offset + sizeof v <= bytes_.size()) std::memcpy(&v, bytes_.data() + offset, sizeof v);
        return v;
    }

    std::string string_at(const ElfW(Shdr) & table, size_t index) const {
        const size_t start = table.sh_offset + index;
        if (start >= bytes_.size()) return std::string();
        const size_t end = std::min<size_t>(bytes_.size(), table.sh_offset + table.sh_size);
        const char* p = reinterpret_cast<const char*>(bytes_.data()) + start;
        return std::string(p, strnlen(p, end > start ? end - start : 0));
    }

    std::vector<Symbol> symbols_of(const ElfW(Shdr) & table) const {
        std::vector<Symbol> out;
        if (table.sh_link >= sections_.size()) return out;
        const ElfW(Shdr)& names = sections_[table.sh_link];
        for (size_t off = 0; off + sizeof(ElfW(Sym)) <= table.sh_size; off += sizeof(ElfW(Sym))) {
            const auto s = at<ElfW(Sym)>(table.sh_offset + off);
            const int type = ELF32_ST_TYPE(s.st_info);  // the same in both classes
            const bool defined = s.st_shndx != SHN_UNDEF;
            out.push_back({string_at(names, s.st_name), s.st_value, size_t(s.st_size), defined && type == STT_OBJECT,
                           defined && (type == STT_FUNC || type == STT_GNU_IFUNC), defined});
        }
        return out;
    }

    void read_symbols(const ElfW(Shdr) & symtab) {
        for (auto& sym : symbols_of(symtab))
            if (!sym.name.empty()) symbols_.push_back(std::move(sym));
    }

    void read_relocations(const ElfW(Shdr) & sh) {
        if (sh.sh_link >= sections_.size()) return;
        const std::vector<Symbol> dynamic = symbols_of(sections_[sh.sh_link]);
        const bool rela = sh.sh_type == SHT_RELA;
        const size_t step = rela ? sizeof(ElfW(Rela)) : sizeof(ElfW(Rel));
        for (size_t off = 0; off + step <= sh.sh_size; off += step) {
            ElfW(Rela) r{};
            if (rela)
                r = at<ElfW(Rela)>(sh.sh_offset + off);
            else
                std::memcpy(&r, &bytes_[sh.sh_offset + off], sizeof(ElfW(Rel)));
#if __SIZEOF_POINTER__ == 8
            const size_t index = ELF64_R_SYM(r.r_info);
#else
            const size_t index = ELF32_R_SYM(r.r_info);
#endif
            Symbol symbol{std::string(), 0, 0, false, false, true};
            if (index > 0 && index < dynamic.size()) symbol = dynamic[index];
            relocations_[r.r_offset] = {symbol, rela, ElfW(Addr)(r.r_addend)};
        }
    }

    // The word stored at an address of the loaded image.
    ElfW(Addr) word(ElfW(Addr) address) const {
        for (const auto& sh : sections_)
            if ((sh.sh_flags & SHF_ALLOC) && sh.sh_type != SHT_NOBITS && address >= sh.sh_addr &&
                address + sizeof(ElfW(Addr)) <= sh.sh_addr + sh.sh_size)
                return at<ElfW(Addr)>(sh.sh_offset + (address - sh.sh_addr));
        return 0;
    }

    std::vector<unsigned char> bytes_;
    std::vector<ElfW(Shdr)> sections_;
    std::vector<Symbol> symbols_;
    std::map<ElfW(Addr), Relocation> relocations_;
};

const char* plugin_path() {
    const char* path = std::getenv("TZV58_PLUGIN");
    return path && *path ? path : TZV58_PLUGIN_PATH;
}

// The virtual operations of the model, in slot order, each with the class
// whose implementation is in force for the model.
std::vector<std::string> model_table() {
    return {
        "pmbuspower_419::Get_Value(unsigned int, std::string const&) const",
        "VDeviceInterface::LoadFromCache(std::string const&)",
        "UniDataDevice::LoadFromCache(unsigned char const*, int)",
        "VDeviceInterface::DataId() const",
        "VDeviceInterface::DeviceType() const",
        "pmbuspower_419::DeviceIoControl(int, void const*, int, void*, int, int&)",
        "UniDataDevice::RoundDone()",
        "VDeviceInterface::UseControllerDb()",
        "tzv58_419::~tzv58_419() [complete]",
        "tzv58_419::~tzv58_419() [deleting]",
        "ZMXSPDevice::Reset()",
        "ZMXVDevice::InitV(ZMXVDevice*, unsigned int, Json::Value const&)",
        "ZMXSPDevice::Init(std::weak_ptr<ZMXController>, unsigned int, Json::Value const&)",
        "pmbuspower_419::InitSetting(Json::Value const&)",
        "ZMXVDevice::IsSupportDevice(std::string const&) const",
        "ZMXVDevice::GetChildVDevice(unsigned int)",
        "ZMXVDevice::GetAllChildVDevices()",
        "ZMXVDevice::SendSP(int, unsigned char const*, unsigned int, bool)",
        "ZMXVDevice::SendDelayData(int)",
        "ZMXVDevice::SendDoData(int, char)",
        "ZMXVDevice::ReadDi(int)",
        "ZMXVDevice::ReadAi(int)",
        "ZMXVDevice::Get_SP_Value(unsigned int, std::string const&)",
        "pmbuspower_419::RefreshStatus()",
        "PMBusProtocol::process(unsigned char*, unsigned int)",
        "ZMXSPDevice::IsProcessing()",
        "ZMXSPDevice::IsStalled()",
        "ZMXSPDevice::SendData(unsigned char const*, unsigned int)",
        "ZMXSPDevice::SendParityData(unsigned char const*, unsigned int, EnumParity)",
        "ZMXSPDevice::OpenPort()",
        "ZMXSPDevice::ClosePort()",
        "tzv58_419::process_payload()",
        "PMBusProtocol::process_error()",
        "tzv58_419::RunCheckThreshold()",
    };
}

// UniDataDevice on its own: the host's Get_Value, DeviceIoControl and
// RefreshStatus, its own InitSetting and RunCheckThreshold, no process_payload.
// No call can reach an abstract class's destructors through its own table, so
// the compiler may leave those two slots empty ("0").
std::vector<std::string> uni_data_device_table() {
    std::vector<std::string> table = model_table();
    const std::map<size_t, std::string> own = {
        {0, "VDeviceInterface::Get_Value(unsigned int, std::string const&) const"},
        {5, "VDeviceInterface::DeviceIoControl(int, void const*, int, void*, int, int&)"},
        {8, "UniDataDevice::~UniDataDevice() [complete] | 0"},
        {9, "UniDataDevice::~UniDataDevice() [deleting] | 0"},
        {13, "UniDataDevice::InitSetting(Json::Value const&)"},
        {23, "ZMXSPDevice::RefreshStatus()"},
        {31, "__cxa_pure_virtual"},
        {33, "UniDataDevice::RunCheckThreshold()"},
    };
    for (const auto& [slot, name] : own) table[slot] = name;
    return table;
}

// Compares the table named `vtable` with `expected`, where "A | B" accepts
// either and "*" any word (a secondary table's offset and type).
void expect_table(const Library& lib, const std::string& vtable, const std::vector<std::string>& expected) {
    const auto [address, size] = lib.object("vtable for " + vtable);
    ASSERT_NE(size, 0u) << "no " << vtable << " virtual table in " << plugin_path();
    // Offset to top and type information come first.
    const size_t word = sizeof(ElfW(Addr));
    ASSERT_EQ(size / word, 2 + expected.size()) << vtable << ": slot count";
    for (size_t slot = 0; slot < expected.size(); ++slot) {
        std::set<std::string> names;
        for (const auto& target : lib.targets(address + (2 + slot) * word)) names.insert(operation_name(target));
        std::string found;
        for (const auto& n : names) found += (found.empty() ? "" : " = ") + n;
        bool match = false;
        const std::string& want = expected[slot];
        if (want == "*") continue;
        for (size_t start = 0; start <= want.size();) {
            size_t end = want.find(" | ", start);
            if (end == std::string::npos) end = want.size();
            match = match || names.count(want.substr(start, end - start)) > 0;
            start = end + 3;
        }
        EXPECT_TRUE(match) << vtable << " slot " << slot << "\n  expected: " << expected[slot]
                           << "\n  found:    " << found;
    }
}

}  // namespace

TEST(PluginVtable, ModelSlotsHoldTheOperationsOfTheSupplyingClasses) {
    const Library lib(plugin_path());
    ASSERT_EQ(lib.error, "");
    expect_table(lib, "tzv58_419", model_table());
}

TEST(PluginVtable, DeviceBaseAndProviderSlots) {
    const Library lib(plugin_path());
    ASSERT_EQ(lib.error, "");
    expect_table(lib, "UniDataDevice<", uni_data_device_table());
    // The host creates devices through the first three slots. The provider
    // also tells the model to a host that asks (device/model.h): a slot of
    // its own, then the table of that face (offset, type, the way back).
    expect_table(
        lib, "tzv58_419Provider",
        {"tzv58_419Provider::~tzv58_419Provider() [complete]", "tzv58_419Provider::~tzv58_419Provider() [deleting]",
         "tzv58_419Provider::create() const", "tzv58_419Provider::model() const", "*", "*",
         "non-virtual thunk to tzv58_419Provider::model() const"});
}
