// What the built installer carries besides its code, read the way Windows
// reads it: the version block, the payload resources, the manifest and the icon.

#include <gtest/gtest.h>

#include <msxml2.h>
#include <shellapi.h>

#include <algorithm>
#include <set>
#include <string>

#include "support/rows.h"
#include "support/support.h"

namespace orbel::test {
namespace {

constexpr WORD kEnglishUs = 1033;
constexpr IID kIXMLDOMDocument2 = {0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// The installer, loaded as Explorer loads a file whose resources it shows.
class PackagingTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module_) << "cannot load " << Narrow(installer_) << " as a data file";
    }

    std::vector<BYTE> Resource(const wchar_t* name, const wchar_t* type, WORD language) const {
        const HRSRC info = ::FindResourceExW(module_.get(), type, name, language);
        if (!info) {
            return {};
        }
        const BYTE* bytes = static_cast<const BYTE*>(::LockResource(::LoadResource(module_.get(), info)));
        return std::vector<BYTE>(bytes, bytes + ::SizeofResource(module_.get(), info));
    }

    std::wstring installer_ = BuildPath("ORBEL_TEST_INSTALLER");
    UniqueModule module_{
        ::LoadLibraryExW(installer_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)};
};

std::wstring VersionString(const std::vector<BYTE>& block, const std::wstring& path) {
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), path.c_str(), &value, &length) || !value) {
        return L"<absent>";
    }
    return std::wstring(static_cast<const wchar_t*>(value));
}

TEST_F(PackagingTest, VersionBlockNamesTheProgramAndVersion1000) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(installer_.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(::GetFileVersionInfoW(installer_.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u);
    EXPECT_EQ(fixed->dwFileOS, 4u);
    EXPECT_EQ(fixed->dwFileType, 1u);

    // One translation: US English, code page 1252.
    WORD* translation = nullptr;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                                 &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 0x04E4);

    const std::wstring table = L"\\StringFileInfo\\040904E4\\";
    EXPECT_EQ(VersionString(block, table + L"FileVersion"), L"1.0.0.0");
    EXPECT_EQ(VersionString(block, table + L"ProductVersion"), L"1.0.0.0");
    EXPECT_EQ(VersionString(block, table + L"FileDescription"), L"setup_orbel");
    EXPECT_EQ(VersionString(block, table + L"ProductName"), L"setup_orbel");
    // A reverse-domain identifier: at least one domain label before the program's name.
    const std::wstring programId = VersionString(block, table + L"ProgramID");
    const std::wstring suffix = L".setup_orbel";
    ASSERT_GT(programId.size(), suffix.size() + 2) << Narrow(programId);
    EXPECT_EQ(programId.substr(programId.size() - suffix.size()), suffix);
    const std::wstring domain = programId.substr(0, programId.size() - suffix.size());
    EXPECT_NE(domain.find(L'.'), std::wstring::npos) << Narrow(programId);
    EXPECT_EQ(domain.find_first_not_of(L"abcdefghijklmnopqrstuvwxyz0123456789.-"), std::wstring::npos);
}

BOOL CALLBACK CollectName(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
    if (IS_INTRESOURCE(name)) {
        reinterpret_cast<std::set<std::wstring>*>(names)->insert(L"#" + std::to_wstring(LOWORD(name)));
    } else {
        reinterpret_cast<std::set<std::wstring>*>(names)->insert(name);
    }
    return TRUE;
}

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR languages) {
    reinterpret_cast<std::vector<WORD>*>(languages)->push_back(language);
    return TRUE;
}

TEST_F(PackagingTest, CarriesExactlyThe22PayloadsAndTheBootProgramInUsEnglishWithTheirFilesBytes) {
    std::set<std::wstring> names;
    ASSERT_TRUE(::EnumResourceNamesW(module_.get(), RT_RCDATA, CollectName, reinterpret_cast<LONG_PTR>(&names)));
    std::set<std::wstring> expected{L"SETUP_ORBEL_BOOT"};
    bool bootRead = false;
    EXPECT_TRUE(Resource(L"SETUP_ORBEL_BOOT", RT_RCDATA, kEnglishUs) ==
                ReadBytes(BuildPath("ORBEL_TEST_BOOT_PROGRAM"), &bootRead));
    EXPECT_TRUE(bootRead) << "the boot program, as built";
    for (const Row& row : kRows) {
        expected.insert(Upper(std::wstring(L"32_") + row.baseName));
        expected.insert(Upper(std::wstring(L"64_") + row.baseName));
    }
    // Nothing else is RCDATA, so nothing else begins with "32_" or "64_" either.
    EXPECT_EQ(names, expected);

    const std::wstring payloads = BuildPath("ORBEL_TEST_PAYLOADS");
    for (const Row& row : kRows) {
        for (const wchar_t* variant : {L"32", L"64"}) {
            const std::wstring name = Upper(std::wstring(variant) + L"_" + row.baseName);
            SCOPED_TRACE(Narrow(name));
            std::vector<WORD> languages;
            EnumResourceLanguagesW(module_.get(), RT_RCDATA, name.c_str(), CollectLanguage,
                                   reinterpret_cast<LONG_PTR>(&languages));
            EXPECT_EQ(languages, std::vector<WORD>{kEnglishUs});
            bool read = false;
            const std::vector<BYTE> file = ReadBytes(payloads + L"\\" + variant + L"\\" + row.fileName, &read);
            ASSERT_TRUE(read);
            EXPECT_TRUE(Resource(name.c_str(), RT_RCDATA, kEnglishUs) == file) << "differs from its payload file";
            // Found by the installer's own spelling, whatever the case.
            EXPECT_NE(::FindResourceW(module_.get(), (std::wstring(variant) + L"_" + row.baseName).c_str(), RT_RCDATA),
                      nullptr);
        }
    }
}

TEST_F(PackagingTest, IdenticalPayloadsShareOneCopyOfTheirBytes) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(Narrow(row.baseName));
        const BYTE* images[2] = {};
        for (int i = 0; i < 2; ++i) {
            const std::wstring name = Upper(std::wstring(i == 0 ? L"32_" : L"64_") + row.baseName);
            const HRSRC info = ::FindResourceExW(module_.get(), RT_RCDATA, name.c_str(), kEnglishUs);
            ASSERT_NE(info, nullptr);
            images[i] = static_cast<const BYTE*>(::LockResource(::LoadResource(module_.get(), info)));
        }
        // Both names stay resources of their own; only the bytes are shared.
        EXPECT_EQ(images[0] == images[1], !row.distinct64);
    }
}

// MSXML, Windows' own XML parser, with the manifest's namespaces bound to prefixes.
class Manifest {
public:
    explicit Manifest(const std::vector<BYTE>& bytes) {
        CLSID clsid{};
        if (FAILED(::CLSIDFromProgID(L"Msxml2.DOMDocument.6.0", &clsid)) ||
            FAILED(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIXMLDOMDocument2,
                                      reinterpret_cast<void**>(&document_)))) {
            return;
        }
        const std::wstring text = Widen(std::string(bytes.begin(), bytes.end()));
        BSTR xml = ::SysAllocString(text.c_str());
        VARIANT_BOOL loaded = VARIANT_FALSE;
        document_->put_async(VARIANT_FALSE);
        parsed_ = SUCCEEDED(document_->loadXML(xml, &loaded)) && loaded == VARIANT_TRUE;
        ::SysFreeString(xml);
        SetProperty(L"SelectionLanguage", L"XPath");
        SetProperty(L"SelectionNamespaces",
                    L"xmlns:a='urn:schemas-microsoft-com:asm.v1' xmlns:s='urn:schemas-microsoft-com:asm.v3' "
                    L"xmlns:c='urn:schemas-microsoft-com:compatibility.v1'");
    }
    ~Manifest() {
        if (document_) {
            document_->Release();
        }
    }
    bool parsed() const { return parsed_; }

    // The texts of the nodes xpath selects, in document order.
    std::vector<std::wstring> Select(const wchar_t* xpath) const {
        std::vector<std::wstring> texts;
        IXMLDOMNodeList* nodes = nullptr;
        BSTR query = ::SysAllocString(xpath);
        if (document_ && SUCCEEDED(document_->selectNodes(query, &nodes)) && nodes) {
            long count = 0;
            nodes->get_length(&count);
            for (long i = 0; i < count; ++i) {
                IXMLDOMNode* node = nullptr;
                BSTR text = nullptr;
                if (SUCCEEDED(nodes->get_item(i, &node)) && node && SUCCEEDED(node->get_text(&text))) {
                    texts.push_back(text ? text : L"");
                }
                ::SysFreeString(text);
                if (node) {
                    node->Release();
                }
            }
            nodes->Release();
        }
        ::SysFreeString(query);
        return texts;
    }

private:
    void SetProperty(const wchar_t* name, const wchar_t* value) {
        if (!document_) {
            return;
        }
        BSTR property = ::SysAllocString(name);
        VARIANT text;
        ::VariantInit(&text);
        text.vt = VT_BSTR;
        text.bstrVal = ::SysAllocString(value);
        document_->setProperty(property, text);
        ::VariantClear(&text);
        ::SysFreeString(property);
    }

    IXMLDOMDocument2* document_ = nullptr;
    bool parsed_ = false;
};

TEST_F(PackagingTest, ManifestAsksForAdministratorsNamesCommonControls6AndFiveWindowsVersions) {
    ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
    {
        const std::vector<BYTE> bytes = Resource(MAKEINTRESOURCEW(1), RT_MANIFEST, kEnglishUs);
        ASSERT_FALSE(bytes.empty()) << "no RT_MANIFEST resource 1";
        const Manifest manifest(bytes);
        ASSERT_TRUE(manifest.parsed()) << "the manifest is not well-formed XML";

        const std::wstring identity = L"/a:assembly/a:dependency/a:dependentAssembly/a:assemblyIdentity/@";
        EXPECT_EQ(manifest.Select((identity + L"name").c_str()),
                  std::vector<std::wstring>{L"Microsoft.Windows.Common-Controls"});
        EXPECT_EQ(manifest.Select((identity + L"type").c_str()), std::vector<std::wstring>{L"win32"});
        EXPECT_EQ(manifest.Select((identity + L"version").c_str()), std::vector<std::wstring>{L"6.0.0.0"});
        EXPECT_EQ(manifest.Select((identity + L"publicKeyToken").c_str()),
                  std::vector<std::wstring>{L"6595b64144ccf1df"});
        EXPECT_EQ(manifest.Select((identity + L"language").c_str()), std::vector<std::wstring>{L"*"});
        EXPECT_EQ(manifest.Select((identity + L"processorArchitecture").c_str()), std::vector<std::wstring>{L"*"});

        const std::wstring level = L"/a:assembly/s:trustInfo/s:security/s:requestedPrivileges/s:requestedExecutionLevel/@";
        EXPECT_EQ(manifest.Select((level + L"level").c_str()), std::vector<std::wstring>{L"requireAdministrator"});
        EXPECT_EQ(manifest.Select((level + L"uiAccess").c_str()), std::vector<std::wstring>{L"false"});

        std::vector<std::wstring> systems =
            manifest.Select(L"/a:assembly/c:compatibility/c:application/c:supportedOS/@Id");
        std::sort(systems.begin(), systems.end());
        EXPECT_EQ(systems, (std::vector<std::wstring>{
                               L"{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
                               L"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
                               L"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
                               L"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
                               L"{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
                           }));
    }
    ::CoUninitialize();
}

TEST_F(PackagingTest, WindowsAcceptsTheManifest) {
    ACTCTXW context{};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = installer_.c_str();
    context.lpResourceName = MAKEINTRESOURCEW(1);
    const HANDLE activation = ::CreateActCtxW(&context);
    EXPECT_NE(activation, INVALID_HANDLE_VALUE) << "error " << ::GetLastError();
    if (activation != INVALID_HANDLE_VALUE) {
        ::ReleaseActCtx(activation);
    }
}

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colors;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(PackagingTest, IconGroupMainiconHoldsEightLoadableImages) {
    const std::vector<BYTE> group = Resource(L"MAINICON", RT_GROUP_ICON, kEnglishUs);
    ASSERT_GE(group.size(), 6u) << "no icon group MAINICON";
    const WORD count = *reinterpret_cast<const WORD*>(group.data() + 4);
    ASSERT_EQ(count, 8);
    ASSERT_EQ(group.size(), 6 + count * sizeof(GroupIconEntry));
    std::vector<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const auto* entry = reinterpret_cast<const GroupIconEntry*>(group.data() + 6) + i;
        sizes.push_back(entry->width == 0 ? 256 : entry->width);
        EXPECT_EQ(entry->width, entry->height);
        EXPECT_EQ(entry->bitCount, 32);
        EXPECT_FALSE(Resource(MAKEINTRESOURCEW(entry->id), RT_ICON, kEnglishUs).empty());
    }
    EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 40, 48, 64, 256}));

    // Each image loads at its own size.
    const UniqueModule image{::LoadLibraryExW(installer_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)};
    ASSERT_TRUE(image);
    for (int size : sizes) {
        SCOPED_TRACE(size);
        const HICON icon =
            static_cast<HICON>(::LoadImageW(image.get(), L"MAINICON", IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
        ASSERT_NE(icon, nullptr);
        ICONINFO info{};
        ASSERT_TRUE(::GetIconInfo(icon, &info));
        BITMAP bitmap{};
        ::GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof bitmap, &bitmap);
        EXPECT_EQ(bitmap.bmWidth, size);
        ::DeleteObject(info.hbmColor);
        ::DeleteObject(info.hbmMask);
        ::DestroyIcon(icon);
    }

    // The first icon group is the one Explorer shows for the file.
    HICON large = nullptr;
    EXPECT_EQ(::ExtractIconExW(installer_.c_str(), -1, nullptr, nullptr, 0), 1u);
    EXPECT_EQ(::ExtractIconExW(installer_.c_str(), 0, &large, nullptr, 1), 1u);
    EXPECT_NE(large, nullptr);
    if (large) {
        ::DestroyIcon(large);
    }
}

}  // namespace
}  // namespace orbel::test
