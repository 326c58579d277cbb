// The demo COM servers: what each registers and how a client finds it.
// Shared by the servers themselves, the demo report and the tests.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "component_table.h"

namespace orbel::demo {

struct Server {
    const wchar_t* baseName;
    const wchar_t* extension;
    const wchar_t* progId;
    const wchar_t* clsid;
};

// Each server's class, by its place among the component table's servers.
constexpr const wchar_t* kClassIds[] = {
    L"{A83F5F01-BF31-410E-977D-F9B59DC87D43}", L"{09C47885-1B05-4424-B1E3-138D25FEF79D}",
    L"{DC4E7969-008E-47A3-B403-071E7D4B5378}", L"{AB6F3B7D-9CED-4F26-98AD-FCC2C893060A}",
    L"{E67A63E6-0D17-4444-9389-E20C0CABDF2E}", L"{6F79F940-35A2-4864-8676-0A4D610E8790}",
};
static_assert(sizeof kClassIds / sizeof kClassIds[0] == table::kServerRows,
              "one class id for each server of the component table");

template <std::size_t... I>
constexpr std::array<Server, sizeof...(I)> ServersOf(std::index_sequence<I...>) {
    return {{{table::kRows[I].baseName, table::kRows[I].extension, table::kRows[I].progId, kClassIds[I]}...}};
}
// The servers, in the installer's table order.
constexpr auto kServers = ServersOf(std::make_index_sequence<table::kServerRows>{});

// A server built to fail its registration, for the tests.
constexpr Server kFailingServer = {L"FailReg", L".dll", L"Orbel.FailReg", L"{F001A730-2FF8-4365-8575-4DE9D0B9DAAD}"};

}  // namespace orbel::demo
