// The installer's component table, written out for the tests independently
// of the installer's own source.
#pragma once

namespace orbel::test {

struct Row {
    const wchar_t* baseName;
    const wchar_t* fileName;
    bool server;
    // Whether the 64-bit payload is a build of its own rather than the 32-bit image.
    bool distinct64;
};

// In table order.
constexpr Row kRows[] = {
    {L"CorvoX", L"CorvoX.dll", true, false},
    {L"CorvoDataSetX", L"CorvoDataSetX.dll", true, false},
    {L"msxml6", L"msxml6.dll", true, true},
    {L"CorvoGovX", L"CorvoGovX.ocx", true, false},
    {L"midas", L"midas.dll", true, false},
    {L"stdvcl40", L"stdvcl40.dll", true, true},
    {L"ssleay32", L"ssleay32.dll", false, true},
    {L"libeay32", L"libeay32.dll", false, true},
    {L"msxml6r", L"msxml6r.dll", false, true},
    {L"kwtCorvoLibUNICODE", L"kwtCorvoLibUNICODE.dll", false, false},
    {L"kwtCorvoLib", L"kwtCorvoLib.dll", false, false},
};
constexpr size_t kServerRows = 6;

}  // namespace orbel::test
