// Resource lookup in the program's table. A resource handle is the row's index + 1; loading
// gives the bytes' address (locking is the identity, as on the handset).
#include <strings.h>

#include <atomic>
#include <cstring>

#include "platform/testing.h"
#include "platform/window/resource.h"
#include "platform/window/window.h"

namespace platform {
namespace {

// Constant-initialised, so the program's registration may come during static initialisation.
std::atomic<const ResourceRow*> program_rows{nullptr};
std::atomic<std::size_t> program_count{0};
std::atomic<const ResourceRow*> test_rows{nullptr};
std::atomic<std::size_t> test_count{0};

ResourceTableView Rows() {
    const ResourceRow* rows = test_rows.load();
    if (rows) return {rows, test_count.load()};
    return {program_rows.load(), program_rows.load() ? program_count.load() : 0};
}

bool SameType(const char* a, const char* b) { return a && b && ::strcasecmp(a, b) == 0; }

}  // namespace

void SetProgramResources(ResourceTableView rows) {
    program_count.store(rows.count);
    program_rows.store(rows.rows);
}

#ifdef FWU_TEST_SEAM
void SetResourceTableForTest(ResourceTableView rows) {
    test_count.store(rows.count);
    test_rows.store(rows.rows);
}
#endif

Hrsrc FindResource(Hinstance instance, int id, const char* type) {
    if (instance != GetModuleHandle()) return 0;
    ResourceTableView table = Rows();
    for (std::size_t i = 0; i < table.count; ++i) {
        const ResourceRow& row = table.rows[i];
        if (row.name == nullptr && row.id == id && SameType(row.type, type)) return static_cast<Hrsrc>(i + 1);
    }
    return 0;
}

Hrsrc FindResourceByName(Hinstance instance, const char* name, const char* type) {
    if (instance != GetModuleHandle() || name == nullptr) return 0;
    ResourceTableView table = Rows();
    for (std::size_t i = 0; i < table.count; ++i) {
        const ResourceRow& row = table.rows[i];
        if (row.name && ::strcasecmp(row.name, name) == 0 && SameType(row.type, type)) {
            return static_cast<Hrsrc>(i + 1);
        }
    }
    return 0;
}

Hglobal LoadResource(Hinstance instance, Hrsrc resource) {
    ResourceTableView table = Rows();
    if (instance != GetModuleHandle() || resource == 0 || resource > table.count) return nullptr;
    return table.rows[resource - 1].data;
}

const void* LockResource(Hglobal loaded) { return loaded; }

std::uint32_t SizeofResource(Hinstance instance, Hrsrc resource) {
    ResourceTableView table = Rows();
    if (instance != GetModuleHandle() || resource == 0 || resource > table.count) return 0;
    return static_cast<std::uint32_t>(table.rows[resource - 1].size);
}

Hinstance GetModuleHandle() { return 1; }

}  // namespace platform
