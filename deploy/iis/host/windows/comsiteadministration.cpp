#include "deploy/iis/host/windows/comsiteadministration.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <iterator>

#include "deploy/iis/host/windows/ahadmin_decl.h"
#include "deploy/iis/host/windows/comhelpers.h"
#include "deploy/iis/host/windows/win32text.h"
#include "deploy/iis/iisbinding.h"
#include "foundation/format.h"

namespace qm {

using ahadmin::IAppHostElement;
using ahadmin::IAppHostElementCollection;
using ahadmin::IAppHostMethod;
using ahadmin::IAppHostMethodCollection;
using ahadmin::IAppHostMethodInstance;
using ahadmin::IAppHostProperty;
using ahadmin::IAppHostWritableAdminManager;
using iiswin::Bstr;
using iiswin::ComPtr;
using iiswin::ErrorText;
using iiswin::Variant;

namespace {

constexpr char16_t kConfigPath[] = u"MACHINE/WEBROOT/APPHOST";
constexpr char16_t kSitesSection[] = u"system.applicationHost/sites";

// The site "state" property's values, as IIS numbers them.
constexpr const char16_t* kStates[] = {u"Starting", u"Started", u"Stopping", u"Stopped",
                                       u"Unknown"};

unsigned long ReadIisMajorVersion() {
    DWORD version = 0;
    DWORD size = sizeof(version);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\InetStp", L"MajorVersion",
                     RRF_RT_REG_DWORD, nullptr, &version, &size) != ERROR_SUCCESS) {
        return 0;
    }
    return version;
}

std::u16string ApplicationHostConfigPath() {
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    const std::u16string dir =
        length > 0 && length < MAX_PATH ? iiswin::U16(system) : u"C:\\Windows\\System32";
    return dir + u"\\inetsrv\\config\\applicationHost.config";
}

HRESULT PropertyOf(IAppHostElement* element, std::u16string_view name,
                   ComPtr<IAppHostProperty>& property) {
    Bstr bstr(name);
    return element->GetPropertyByName(bstr.Get(), property.Put());
}

// A property's value as text (numbers in decimal); empty when it cannot be
// read.
std::u16string TextOf(IAppHostElement* element, std::u16string_view name) {
    ComPtr<IAppHostProperty> property;
    Variant value;
    if (FAILED(PropertyOf(element, name, property)) || FAILED(property->get_Value(value.Put())))
        return {};
    Variant text;
    return SUCCEEDED(value.ConvertTo(VT_BSTR, text)) ? text.Text() : std::u16string();
}

// "Started", "Stopped"...; empty when the activation service cannot say.
std::u16string StateOf(IAppHostElement* site) {
    ComPtr<IAppHostProperty> property;
    Variant value;
    if (FAILED(PropertyOf(site, u"state", property)) || FAILED(property->get_Value(value.Put())))
        return {};
    if (value.Get().vt == VT_BSTR)
        return value.Text();
    Variant number;
    if (FAILED(value.ConvertTo(VT_I4, number)))
        return {};
    const LONG state = number.Get().lVal;
    return state >= 0 && state < LONG(std::size(kStates)) ? kStates[state] : u"Unknown";
}

// The binding's sslFlags in decimal; empty when the binding does not set
// them (or this IIS has none).
std::u16string FlagsOf(IAppHostElement* binding) {
    ComPtr<IAppHostProperty> property;
    Variant value;
    if (FAILED(PropertyOf(binding, u"sslFlags", property)) ||
        FAILED(property->get_Value(value.Put()))) {
        return {};
    }
    Variant number;
    if (FAILED(value.ConvertTo(VT_UI4, number)))
        return {};
    const ULONG flags = number.Get().ulVal;
    if (flags == 0) {
        // The schema's default reads as 0 too: only an explicit 0 is shown.
        Variant isDefault;
        Bstr metadata(u"isDefaultValue");
        if (FAILED(property->GetMetadata(metadata.Get(), isDefault.Put())) ||
            isDefault.Get().vt != VT_BOOL || isDefault.Get().boolVal != VARIANT_FALSE) {
            return {};
        }
    }
    return FormatWide(u"%u", flags);
}

HRESULT SetText(IAppHostElement* element, std::u16string_view name, std::u16string_view text) {
    ComPtr<IAppHostProperty> property;
    HRESULT hr = PropertyOf(element, name, property);
    if (FAILED(hr))
        return hr;
    Variant value;
    Variant::Text(value, text);
    return property->put_Value(value.Get());
}

// sslFlags from their decimal text; empty text clears the attribute.
HRESULT SetFlags(IAppHostElement* binding, std::u16string_view text) {
    ComPtr<IAppHostProperty> property;
    HRESULT hr = PropertyOf(binding, u"sslFlags", property);
    if (FAILED(hr))
        return hr;
    if (text.empty())
        return property->Clear();
    ULONG flags = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return E_INVALIDARG;
        flags = flags * 10 + ULONG(c - u'0');
    }
    Variant value;
    Variant::UInt(value, flags);
    return property->put_Value(value.Get());
}

HRESULT CollectionOf(IAppHostElement* element, ComPtr<IAppHostElementCollection>& collection,
                     DWORD& count) {
    count = 0;
    HRESULT hr = element->get_Collection(collection.Put());
    if (SUCCEEDED(hr))
        hr = collection->get_Count(&count);
    return hr;
}

HRESULT ItemOf(IAppHostElementCollection* collection, DWORD index,
               ComPtr<IAppHostElement>& element) {
    Variant at;
    Variant::Int(at, LONG(index));
    return collection->get_Item(at.Get(), element.Put());
}

HRESULT BindingsOf(IAppHostElement* site, ComPtr<IAppHostElementCollection>& bindings,
                   DWORD& count) {
    ComPtr<IAppHostElement> element;
    Bstr name(u"bindings");
    const HRESULT hr = site->GetElementByName(name.Get(), element.Put());
    return FAILED(hr) ? hr : CollectionOf(element.Get(), bindings, count);
}

bool SameBinding(IAppHostElement* element, const IisBinding& binding) {
    return SameText(TextOf(element, u"protocol"), binding.protocol) &&
           SameText(TextOf(element, u"bindingInformation"), binding.bindingInformation);
}

// The index of the binding equal to `binding` (protocol and binding
// information, in any letter case); -1 when there is none.
LONG FindBinding(IAppHostElementCollection* bindings, DWORD count, const IisBinding& binding,
                 ComPtr<IAppHostElement>& found) {
    for (DWORD i = 0; i < count; ++i) {
        if (SUCCEEDED(ItemOf(bindings, i, found)) && SameBinding(found.Get(), binding))
            return LONG(i);
    }
    found.Reset();
    return -1;
}

HRESULT RunMethod(IAppHostElement* element, std::u16string_view name) {
    ComPtr<IAppHostMethodCollection> methods;
    ComPtr<IAppHostMethod> method;
    ComPtr<IAppHostMethodInstance> instance;
    Variant which;
    Variant::Text(which, name);
    HRESULT hr = element->get_Methods(methods.Put());
    if (SUCCEEDED(hr))
        hr = methods->get_Item(which.Get(), method.Put());
    if (SUCCEEDED(hr))
        hr = method->CreateInstance(instance.Put());
    if (SUCCEEDED(hr))
        hr = instance->Execute();
    return hr;
}

}  // namespace

struct ComSiteAdministration::Com {
    bool apartment = false;
    bool uninitialize = false;
    ComPtr<IAppHostWritableAdminManager> manager;

    ~Com() {
        manager.Reset();
        if (uninitialize)
            CoUninitialize();
    }

    // The sites section's collection of site elements.
    bool Sites(ComPtr<IAppHostElementCollection>& sites, DWORD& count, std::u16string& problem) {
        ComPtr<IAppHostElement> section;
        Bstr name(kSitesSection);
        Bstr path(kConfigPath);
        HRESULT hr = manager->GetAdminSection(name.Get(), path.Get(), section.Put());
        if (SUCCEEDED(hr))
            hr = CollectionOf(section.Get(), sites, count);
        if (FAILED(hr)) {
            problem = FormatWide(u"the IIS section %s cannot be read: %s", kSitesSection,
                                 ErrorText(static_cast<unsigned long>(hr)));
            return false;
        }
        return true;
    }

    bool FindSite(const std::u16string& name, ComPtr<IAppHostElement>& site,
                  std::u16string& problem) {
        ComPtr<IAppHostElementCollection> sites;
        DWORD count = 0;
        if (!Sites(sites, count, problem))
            return false;
        for (DWORD i = 0; i < count; ++i) {
            if (SUCCEEDED(ItemOf(sites.Get(), i, site)) &&
                SameText(TextOf(site.Get(), u"name"), name)) {
                return true;
            }
        }
        problem = FormatWide(u"there is no IIS site \"%s\"", name);
        return false;
    }

    bool FindBindings(const std::u16string& site, ComPtr<IAppHostElementCollection>& bindings,
                      DWORD& count, std::u16string& problem) {
        ComPtr<IAppHostElement> element;
        if (!FindSite(site, element, problem))
            return false;
        const HRESULT hr = BindingsOf(element.Get(), bindings, count);
        if (FAILED(hr)) {
            problem = FormatWide(u"the bindings of the IIS site \"%s\" cannot be read: %s", site,
                                 ErrorText(static_cast<unsigned long>(hr)));
            return false;
        }
        return true;
    }
};

ComSiteAdministration::ComSiteAdministration()
    : com_(std::make_unique<Com>()),
      iisMajorVersion_(ReadIisMajorVersion()),
      configurationPath_(ApplicationHostConfigPath()) {}

ComSiteAdministration::~ComSiteAdministration() = default;

bool ComSiteAdministration::Ensure(std::u16string& problem) {
    if (!com_->apartment) {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(hr)) {
            com_->uninitialize = true;
        } else if (hr != RPC_E_CHANGED_MODE) {  // a single-threaded apartment serves as well
            problem = u"COM cannot be initialised: " + ErrorText(static_cast<unsigned long>(hr));
            return false;
        }
        com_->apartment = true;
    }
    if (pending_ && com_->manager)
        return true;
    const HRESULT hr =
        CoCreateInstance(ahadmin::kClsidWritableAdminManager, nullptr, CLSCTX_INPROC_SERVER,
                         ahadmin::kIidWritableAdminManager, com_->manager.PutVoid());
    if (FAILED(hr)) {
        problem = hr == REGDB_E_CLASSNOTREG
                      ? u"IIS is not installed (its administration objects are not registered)"
                      : u"the IIS administration cannot be opened: " +
                            ErrorText(static_cast<unsigned long>(hr));
        return false;
    }
    Bstr path(kConfigPath);
    com_->manager->put_CommitPath(path.Get());
    pending_ = false;
    return true;
}

void ComSiteAdministration::Discard() {
    com_->manager.Reset();
    pending_ = false;
}

bool ComSiteAdministration::ReadSites(std::vector<IisSite>& sites, std::u16string& problem) {
    sites.clear();
    ComPtr<IAppHostElementCollection> collection;
    DWORD count = 0;
    if (!Ensure(problem) || !com_->Sites(collection, count, problem))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IAppHostElement> element;
        HRESULT hr = ItemOf(collection.Get(), i, element);
        if (FAILED(hr)) {
            problem = u"an IIS site cannot be read: " + ErrorText(static_cast<unsigned long>(hr));
            return false;
        }
        IisSite site;
        site.name = TextOf(element.Get(), u"name");
        site.state = StateOf(element.Get());
        ComPtr<IAppHostElementCollection> applications;
        DWORD applicationCount = 0;
        if (SUCCEEDED(CollectionOf(element.Get(), applications, applicationCount))) {
            for (DWORD a = 0; a < applicationCount; ++a) {
                ComPtr<IAppHostElement> application;
                ComPtr<IAppHostElementCollection> directories;
                DWORD directoryCount = 0;
                if (FAILED(ItemOf(applications.Get(), a, application)) ||
                    FAILED(CollectionOf(application.Get(), directories, directoryCount))) {
                    continue;
                }
                for (DWORD d = 0; d < directoryCount; ++d) {
                    ComPtr<IAppHostElement> directory;
                    if (SUCCEEDED(ItemOf(directories.Get(), d, directory)))
                        site.physicalPaths.push_back(TextOf(directory.Get(), u"physicalPath"));
                }
            }
        }
        ComPtr<IAppHostElementCollection> bindings;
        DWORD bindingCount = 0;
        if (SUCCEEDED(BindingsOf(element.Get(), bindings, bindingCount))) {
            for (DWORD b = 0; b < bindingCount; ++b) {
                ComPtr<IAppHostElement> binding;
                if (FAILED(ItemOf(bindings.Get(), b, binding)))
                    continue;
                site.bindings.push_back({TextOf(binding.Get(), u"protocol"),
                                         TextOf(binding.Get(), u"bindingInformation"),
                                         FlagsOf(binding.Get())});
            }
        }
        sites.push_back(std::move(site));
    }
    return true;
}

bool ComSiteAdministration::AddBinding(const std::u16string& site, const IisBinding& binding,
                                       std::u16string& problem) {
    ComPtr<IAppHostElementCollection> bindings;
    DWORD count = 0;
    if (!Ensure(problem) || !com_->FindBindings(site, bindings, count, problem))
        return false;
    ComPtr<IAppHostElement> element;
    if (FindBinding(bindings.Get(), count, binding, element) >= 0)
        return true;
    Bstr name(u"binding");
    HRESULT hr = bindings->CreateNewElement(name.Get(), element.Put());
    if (SUCCEEDED(hr))
        hr = SetText(element.Get(), u"protocol", binding.protocol);
    if (SUCCEEDED(hr))
        hr = SetText(element.Get(), u"bindingInformation", binding.bindingInformation);
    if (SUCCEEDED(hr) && !binding.sslFlags.empty())
        hr = SetFlags(element.Get(), binding.sslFlags);
    if (SUCCEEDED(hr))
        hr = bindings->AddElement(element.Get(), -1);
    return EditDone(hr,
                    FormatWide(u"the binding %s %s cannot be added to the IIS site \"%s\"",
                               binding.protocol, binding.bindingInformation, site),
                    problem);
}

bool ComSiteAdministration::RemoveBinding(const std::u16string& site, const IisBinding& binding,
                                          std::u16string& problem) {
    ComPtr<IAppHostElementCollection> bindings;
    DWORD count = 0;
    if (!Ensure(problem) || !com_->FindBindings(site, bindings, count, problem))
        return false;
    ComPtr<IAppHostElement> element;
    const LONG index = FindBinding(bindings.Get(), count, binding, element);
    if (index < 0)
        return true;
    Variant at;
    Variant::Int(at, index);
    const HRESULT hr = bindings->DeleteElement(at.Get());
    return EditDone(hr,
                    FormatWide(u"the binding %s %s cannot be removed from the IIS site \"%s\"",
                               binding.protocol, binding.bindingInformation, site),
                    problem);
}

bool ComSiteAdministration::ReplaceBinding(const std::u16string& site, const IisBinding& from,
                                           const IisBinding& to, std::u16string& problem) {
    ComPtr<IAppHostElementCollection> bindings;
    DWORD count = 0;
    if (!Ensure(problem) || !com_->FindBindings(site, bindings, count, problem))
        return false;
    ComPtr<IAppHostElement> element;
    if (FindBinding(bindings.Get(), count, from, element) < 0) {
        if (FindBinding(bindings.Get(), count, to, element) >= 0)
            return true;
        problem = FormatWide(u"the site \"%s\" has no binding %s %s", site, from.protocol,
                             from.bindingInformation);
        return false;
    }
    HRESULT hr = S_OK;
    if (TextOf(element.Get(), u"protocol") != to.protocol)
        hr = SetText(element.Get(), u"protocol", to.protocol);
    if (SUCCEEDED(hr) && TextOf(element.Get(), u"bindingInformation") != to.bindingInformation)
        hr = SetText(element.Get(), u"bindingInformation", to.bindingInformation);
    if (SUCCEEDED(hr) && FlagsOf(element.Get()) != to.sslFlags)
        hr = SetFlags(element.Get(), to.sslFlags);
    return EditDone(hr,
                    FormatWide(u"cannot change the binding %s of the site \"%s\"",
                               from.bindingInformation, site),
                    problem);
}

bool ComSiteAdministration::EditDone(long hr, const std::u16string& failure,
                                     std::u16string& problem) {
    if (FAILED(hr)) {
        // A failed edit leaves none of the pending ones behind.
        problem = failure + u": " + ErrorText(static_cast<unsigned long>(hr));
        Discard();
        return false;
    }
    pending_ = true;
    return true;
}

bool ComSiteAdministration::CommitChanges(std::u16string& problem) {
    if (!pending_)
        return true;
    const HRESULT hr = com_->manager->CommitChanges();
    if (FAILED(hr)) {
        problem =
            u"the IIS configuration cannot be saved: " + ErrorText(static_cast<unsigned long>(hr));
        return false;
    }
    pending_ = false;
    return true;
}

bool ComSiteAdministration::Restart(std::u16string& problem) {
    ComPtr<IAppHostElementCollection> sites;
    DWORD count = 0;
    if (!Ensure(problem) || !com_->Sites(sites, count, problem))
        return false;
    for (DWORD i = 0; i < count; ++i) {
        ComPtr<IAppHostElement> site;
        if (FAILED(ItemOf(sites.Get(), i, site)) || StateOf(site.Get()) != u"Started")
            continue;
        HRESULT hr = RunMethod(site.Get(), u"Stop");
        if (SUCCEEDED(hr))
            hr = RunMethod(site.Get(), u"Start");
        if (FAILED(hr)) {
            problem =
                FormatWide(u"the IIS site \"%s\" cannot be restarted: %s",
                           TextOf(site.Get(), u"name"), ErrorText(static_cast<unsigned long>(hr)));
            return false;
        }
    }
    return true;
}

}  // namespace qm
