// The demo COM servers: what each registers and how a client finds it.
// Shared by the servers themselves, the demo report and the tests.
#pragma once

namespace orbel::demo {

struct Server {
    const wchar_t* baseName;
    const wchar_t* extension;
    const wchar_t* progId;
    const wchar_t* clsid;
};

// In the installer's table order.
constexpr Server kServers[] = {
    {L"CorvoX", L".dll", L"Orbel.CorvoX", L"{A83F5F01-BF31-410E-977D-F9B59DC87D43}"},
    {L"CorvoDataSetX", L".dll", L"Orbel.CorvoDataSetX", L"{09C47885-1B05-4424-B1E3-138D25FEF79D}"},
    {L"msxml6", L".dll", L"Orbel.msxml6", L"{DC4E7969-008E-47A3-B403-071E7D4B5378}"},
    {L"CorvoGovX", L".ocx", L"Orbel.CorvoGovX", L"{AB6F3B7D-9CED-4F26-98AD-FCC2C893060A}"},
    {L"midas", L".dll", L"Orbel.midas", L"{E67A63E6-0D17-4444-9389-E20C0CABDF2E}"},
    {L"stdvcl40", L".dll", L"Orbel.stdvcl40", L"{6F79F940-35A2-4864-8676-0A4D610E8790}"},
};

// The plain libraries, in the installer's table order after the servers.
constexpr const wchar_t* kPlainLibraries[] = {
    L"ssleay32.dll", L"libeay32.dll", L"msxml6r.dll", L"kwtCorvoLibUNICODE.dll", L"kwtCorvoLib.dll",
};

// A server built to fail its registration, for the tests.
constexpr Server kFailingServer = {L"FailReg", L".dll", L"Orbel.FailReg", L"{F001A730-2FF8-4365-8575-4DE9D0B9DAAD}"};

}  // namespace orbel::demo
