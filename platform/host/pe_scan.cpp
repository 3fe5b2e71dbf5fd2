// What kernel code may do and a user-mode process may not, found before the image first runs:
// a privileged instruction faults, a gs: operand reads this thread's TLS instead of the
// processor block, and the kernel's shared data page is not mapped at all. Each would crash at
// some later call deep in a test; refusing the load names the instruction instead.
#include <capstone/capstone.h>

#include <memory>

#include "platform/host/pe_image.h"

namespace host {
namespace pe {
namespace {

// KUSER_SHARED_DATA, where inline KeQuerySystemTime and friends read the kernel's clocks.
constexpr uint64_t kSharedDataPage = 0xfffff78000000000ull;
constexpr uint64_t kPage = 0x1000;

bool Privileged(unsigned id) {
    switch (id) {
        case X86_INS_IN:
        case X86_INS_INSB:
        case X86_INS_INSW:
        case X86_INS_INSD:
        case X86_INS_OUT:
        case X86_INS_OUTSB:
        case X86_INS_OUTSW:
        case X86_INS_OUTSD:
        case X86_INS_CLI:
        case X86_INS_STI:
        case X86_INS_HLT:
        case X86_INS_RDMSR:
        case X86_INS_WRMSR:
        case X86_INS_RDPMC:
        case X86_INS_LGDT:
        case X86_INS_LIDT:
        case X86_INS_LLDT:
        case X86_INS_LTR:
        case X86_INS_LMSW:
        case X86_INS_CLTS:
        case X86_INS_SWAPGS:
        case X86_INS_INVLPG:
        case X86_INS_INVPCID:
        case X86_INS_INVD:
        case X86_INS_WBINVD:
        case X86_INS_XSETBV:
        case X86_INS_SYSRET:
        case X86_INS_SYSEXIT:
        case X86_INS_IRET:
        case X86_INS_IRETD:
        case X86_INS_IRETQ:
            return true;
        default:
            return false;
    }
}

bool InSharedDataPage(uint64_t address) {
    return address - kSharedDataPage < kPage;
}

// Why user mode cannot run the instruction, or null when it can.
const char* Problem(csh handle, const cs_insn& insn) {
    if (Privileged(insn.id))
        return "privileged instruction";
    const cs_x86& x86 = insn.detail->x86;
    for (uint8_t i = 0; i < x86.op_count; ++i) {
        const cs_x86_op& op = x86.operands[i];
        if (op.type == X86_OP_REG) {
            const char* reg = cs_reg_name(handle, op.reg);
            if (reg && (reg[0] == 'c' || reg[0] == 'd') && reg[1] == 'r')
                return "privileged instruction (control or debug register)";
        } else if (op.type == X86_OP_MEM) {
            if (op.mem.segment == X86_REG_GS || op.mem.segment == X86_REG_FS)
                return "segment-relative memory operand (the kernel's processor block; "
                       "a thread's TLS in user mode)";
            if (op.mem.base == X86_REG_INVALID && op.mem.index == X86_REG_INVALID &&
                InSharedDataPage(uint64_t(op.mem.disp)))
                return "reads the kernel's shared data page, which user mode does not have";
        } else if (op.type == X86_OP_IMM && InSharedDataPage(uint64_t(op.imm))) {
            return "address of the kernel's shared data page, which user mode does not have";
        }
    }
    return nullptr;
}

// The length of a VEX- or EVEX-encoded instruction at `code`, after any legacy prefixes, or 0
// if it is not one. Capstone 4 cannot decode every AVX-512 instruction (some EVEX forms, and
// VEX-encoded opmask moves such as kmovq k, r64); stepping over one by a byte would land
// inside it and "find" whatever its bytes spell. None of them is privileged; `segment` tells
// whether an fs: or gs: prefix came before it.
size_t VectorInstructionLength(const uint8_t* code, size_t size, bool* segment) {
    size_t at = 0;
    *segment = false;
    while (at < size && at < 4) {
        uint8_t b = code[at];
        if (b == 0x64 || b == 0x65)
            *segment = true;
        else if (b != 0x26 && b != 0x2E && b != 0x36 && b != 0x3E && b != 0x66 && b != 0x67)
            break;
        ++at;
    }
    if (at >= size)
        return 0;
    // In 64-bit mode 62, C4 and C5 always start EVEX, three-byte VEX and two-byte VEX. For
    // EVEX the payload's fixed bits (P0 bits 3:2 clear, P1 bit 2 set) tell it from stray data.
    size_t payload = 0;
    uint8_t map = 1;
    if (code[at] == 0x62) {
        if (at + 3 >= size || (code[at + 1] & 0x0C) != 0 || (code[at + 2] & 0x04) == 0)
            return 0;
        payload = 3;
        map = code[at + 1] & 0x03;
    } else if (code[at] == 0xC4) {
        if (at + 1 >= size)
            return 0;
        payload = 2;
        map = code[at + 1] & 0x1F;
    } else if (code[at] == 0xC5) {
        payload = 1;
    } else {
        return 0;
    }
    // The opcode and ModRM at least.
    size_t length = at + 1 + payload + 2;
    if (length > size)
        return 0;
    const uint8_t opcode = code[at + 1 + payload];
    const uint8_t modrm = code[at + 2 + payload];
    const uint8_t mod = modrm >> 6, rm = modrm & 7;
    if (mod != 3 && rm == 4) {
        if (length >= size)
            return 0;
        if (mod == 0 && (code[length] & 7) == 5)
            length += 4;  // SIB without a base: a 32-bit displacement
        length += 1;
    }
    if (mod == 1)
        length += 1;
    else if (mod == 2 || (mod == 0 && rm == 5))
        length += 4;
    const bool imm8 =
        map == 3 || (map == 1 && ((opcode >= 0x70 && opcode <= 0x73) || opcode == 0xC2 ||
                                  (opcode >= 0xC4 && opcode <= 0xC6)));
    if (imm8)
        length += 1;
    return length <= size ? length : 0;
}

struct Finding {
    std::string text;
    size_t count = 0;
};

void ScanSection(csh handle, cs_insn* insn, const uint8_t* base, const Headers& headers,
                 const Section& section, const SymbolTable& symbols, Finding* finding) {
    const uint8_t* code = base + section.rva;
    size_t size = section.extent();
    // Addresses as linked, so that a report reads like the image's own disassembly listing.
    uint64_t address = headers.imageBase + section.rva;
    while (size > 0) {
        const uint8_t* next = code;
        size_t left = size;
        uint64_t nextAddress = address;
        if (!cs_disasm_iter(handle, &next, &left, &nextAddress, insn)) {
            bool segment = false;
            size_t skip = VectorInstructionLength(code, size, &segment);
            if (skip > 0 && segment && finding->count++ == 0) {
                finding->text = "a vector instruction with an fs: or gs: prefix at " +
                                Hex(address) + " (" + Printable(section.name) + "+" +
                                Hex(uint32_t(code - base) - section.rva) +
                                "): the processor block or thread block, which user mode does "
                                "not have";
            }
            // Otherwise padding or data that is no instruction: resynchronise a byte further on.
            skip = skip > 0 ? skip : 1;
            code += skip;
            size -= skip;
            address += skip;
            continue;
        }
        const char* problem = Problem(handle, *insn);
        if (problem && finding->count++ == 0) {
            uint32_t rva = uint32_t(code - base);
            std::string where = Printable(section.name) + "+" + Hex(rva - section.rva);
            std::string function = symbols.NameOf(rva);
            if (!function.empty())
                where += ", " + function;
            finding->text = std::string(insn->mnemonic) + (insn->op_str[0] ? " " : "") +
                            insn->op_str + " at " + Hex(address) + " (" + where + "): " + problem;
        }
        code = next;
        size = left;
        address = nextAddress;
    }
}

}  // namespace

bool ScanCode(const uint8_t* base, const Headers& headers, const SymbolTable& symbols,
              std::string* error) {
    csh handle = 0;
    if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle) != CS_ERR_OK) {
        *error = "cannot open the disassembler";
        return false;
    }
    std::unique_ptr<csh, void (*)(csh*)> closer(&handle, [](csh* h) { cs_close(h); });
    cs_option(handle, CS_OPT_DETAIL, CS_OPT_ON);
    std::unique_ptr<cs_insn, void (*)(cs_insn*)> insn(cs_malloc(handle),
                                                      [](cs_insn* i) { cs_free(i, 1); });
    if (!insn) {
        *error = "cannot allocate a disassembled instruction";
        return false;
    }
    Finding finding;
    for (const Section& s : headers.sections) {
        if (s.executable())
            ScanSection(handle, insn.get(), base, headers, s, symbols, &finding);
    }
    if (finding.count == 0)
        return true;
    *error = finding.text;
    if (finding.count > 1)
        *error += " (and " + std::to_string(finding.count - 1) + " more)";
    return false;
}

}  // namespace pe
}  // namespace host
