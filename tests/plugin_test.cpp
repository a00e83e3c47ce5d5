// The plug-in as the host sees it: the loaded library, the provider, the
// device's defaults and its virtual-table layout.
#include <dlfcn.h>

#include <cstddef>
#include <cstring>

#include "support.h"

namespace {

struct Library {
    Library() : handle(dlopen(TZV58_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle) dlclose(handle);
    }
    void* handle;
};

// Virtual-table slot of a pointer to a virtual member function. The generic
// C++ ABI stores 1 + the slot's byte offset in ptr; on MIPS and ARM, where a
// code address may itself be odd, ptr holds the byte offset and the
// "virtual" flag moves to bit 0 of adj (adj = 2 * this-adjustment + 1).
template <class F>
long slot_of(F pmf) {
    struct {
        std::ptrdiff_t ptr, adj;
    } rep;
    static_assert(sizeof(pmf) == sizeof(rep), "generic ABI member pointer");
    std::memcpy(&rep, &pmf, sizeof rep);
#if defined(__mips__) || defined(__arm__) || defined(__aarch64__)
    if ((rep.adj & 1) == 0) return -1;
    return long(rep.ptr / std::ptrdiff_t(sizeof(void*)));
#else
    if ((rep.ptr & 1) == 0) return -1;
    return long((rep.ptr - 1) / std::ptrdiff_t(sizeof(void*)));
#endif
}

bool all_zero(const tzv58_419_Data_t& d) {
    const auto* p = reinterpret_cast<const unsigned char*>(&d);
    for (size_t i = 0; i < sizeof d; ++i)
        if (p[i]) return false;
    return true;
}

}  // namespace

TEST(Plugin, GetProvidersGivesOneFreshProviderPerCall) {
    Library lib;
    ASSERT_NE(lib.handle, nullptr) << dlerror();
    auto get = reinterpret_cast<get_providers_fn>(dlsym(lib.handle, "get_providers"));
    ASSERT_NE(get, nullptr);
    {
        auto a = get();
        auto b = get();
        ASSERT_EQ(a.size(), 1u);
        ASSERT_EQ(b.size(), 1u);
        EXPECT_NE(a[0].get(), b[0].get());
        EXPECT_EQ(a[0].use_count(), 1);
        auto* provider = dynamic_cast<ZMXSPDeviceProvider*>(a[0].get());
        ASSERT_NE(provider, nullptr);
        std::unique_ptr<ZMXSPDevice> d1(provider->create());
        std::unique_ptr<ZMXSPDevice> d2(dynamic_cast<ZMXSPDeviceProvider&>(*b[0]).create());
        ASSERT_NE(d1, nullptr);
        EXPECT_NE(d1.get(), d2.get());
        EXPECT_EQ(d1->DeviceType(), "tzv58_419");
        EXPECT_EQ(d1->baud_rate, 9600);
        EXPECT_EQ(d1->sp_flag, 1);
        // The loaded device reports through this host's services.
        Recorder rec;
        d1->events = &rec;
        EXPECT_EQ(d1->RefreshStatus(), 1);
        ASSERT_EQ(rec.sent.size(), 1u);
        EXPECT_EQ(rec.sent[0].frame, "~20014042E00201FD3B");
    }
    // Only get_providers is exported; the device's code is not.
    EXPECT_EQ(dlsym(lib.handle, "_ZN9tzv58_419C1Ev"), nullptr);
}

// What the defaults mean on the line: a fresh model polls in fixed point
// (42H) and goes on to the DC distribution; a plain power-system device polls
// floats (41H) and ends its round after the rectifiers. Both start with a
// zeroed record and no round completed.
TEST(Device, FreshDevicesPollAsTheirDefaultsSay) {
    Rig<> model;
    EXPECT_TRUE(all_zero(model.dev->data));
    EXPECT_FALSE(model.dev->data_ready);
    EXPECT_EQ(model.dev->baud_rate, 9600);
    ASSERT_EQ(model.dev->RefreshStatus(), 1);
    ASSERT_EQ(model.rec.sent.size(), 1u);
    EXPECT_EQ(model.rec.sent[0].frame, "~20014042E00201FD3B");  // VER 20H, 40H/42H [g]

    Rig<pmbuspower_419<tzv58_419_Data_t, 5535>> plain;
    EXPECT_TRUE(all_zero(plain.dev->data));
    EXPECT_EQ(plain.dev->DeviceType(), "");
    ASSERT_EQ(plain.dev->RefreshStatus(), 1);
    EXPECT_EQ(plain.rec.sent.back().cid2, 0x41);
    plain.dev->poll_step = 6;  // the rectifier alarm reply: the last of its round
    plain.reply(0x41, hex("00 00"));
    EXPECT_EQ(plain.dev->poll_step, 10);
    EXPECT_EQ(plain.rec.published.size(), 1u);
}

TEST(Device, VirtualTableOrder) {
    using V = VDeviceInterface;
    using Z = ZMXVDevice;
    using S = ZMXSPDevice;
    using P = PMBusProtocol;
    using U = UniDataDevice<tzv58_419_Data_t, PMBusProtocol, 5535>;
    EXPECT_EQ(slot_of(&V::Get_Value), 0);
    EXPECT_EQ(slot_of(static_cast<bool (V::*)(const std::string&)>(&V::LoadFromCache)), 1);
    EXPECT_EQ(slot_of(static_cast<bool (V::*)(const unsigned char*, int)>(&V::LoadFromCache)), 2);
    EXPECT_EQ(slot_of(&V::DataId), 3);
    EXPECT_EQ(slot_of(&V::DeviceType), 4);
    EXPECT_EQ(slot_of(&V::DeviceIoControl), 5);
    EXPECT_EQ(slot_of(&V::RoundDone), 6);
    EXPECT_EQ(slot_of(&V::UseControllerDb), 7);
    // slots 8 and 9: the complete and deleting destructors
    EXPECT_EQ(slot_of(&V::Reset), 10);
    EXPECT_EQ(slot_of(&Z::InitV), 11);
    EXPECT_EQ(slot_of(&Z::Init), 12);
    EXPECT_EQ(slot_of(&Z::InitSetting), 13);
    EXPECT_EQ(slot_of(&Z::IsSupportDevice), 14);
    EXPECT_EQ(slot_of(&Z::GetChildVDevice), 15);
    EXPECT_EQ(slot_of(&Z::GetAllChildVDevices), 16);
    EXPECT_EQ(slot_of(&Z::SendSP), 17);
    EXPECT_EQ(slot_of(&Z::SendDelayData), 18);
    EXPECT_EQ(slot_of(&Z::SendDoData), 19);
    EXPECT_EQ(slot_of(&Z::ReadDi), 20);
    EXPECT_EQ(slot_of(&Z::ReadAi), 21);
    EXPECT_EQ(slot_of(&Z::Get_SP_Value), 22);
    EXPECT_EQ(slot_of(&S::RefreshStatus), 23);
    EXPECT_EQ(slot_of(&S::process), 24);
    EXPECT_EQ(slot_of(&S::IsProcessing), 25);
    EXPECT_EQ(slot_of(&S::IsStalled), 26);
    EXPECT_EQ(slot_of(&S::SendData), 27);
    EXPECT_EQ(slot_of(&S::SendParityData), 28);
    EXPECT_EQ(slot_of(&S::OpenPort), 29);
    EXPECT_EQ(slot_of(&S::ClosePort), 30);
    EXPECT_EQ(slot_of(&P::process_payload), 31);
    EXPECT_EQ(slot_of(&P::process_error), 32);
    EXPECT_EQ(slot_of(&U::RunCheckThreshold), 33);
}

TEST(Device, HostReachesTheOverridesThroughItsBaseClasses) {
    Rig<> rig;
    VDeviceInterface* v = rig.dev.get();
    ZMXSPDevice* s = rig.dev.get();
    PMBusProtocol* p = rig.dev.get();
    EXPECT_EQ(v->DeviceType(), "tzv58_419");
    // UniDataDevice's LoadFromCache, reached through the string form.
    EXPECT_FALSE(v->LoadFromCache(std::string(1256, '\0')));
    EXPECT_TRUE(v->LoadFromCache(std::string(1257, '\0')));
    EXPECT_EQ(rig.rec.published.size(), 1u);
    rig.clock.advance(5);
    // pmbuspower_419's RefreshStatus, the model's process_payload (step 50).
    EXPECT_EQ(s->RefreshStatus(), 1);
    p->poll_step = 50;
    rig.reply(0x80, hex("00 01 01 F4 00 00 00"));
    EXPECT_EQ(rig.dev->poll_step, 0);
    EXPECT_FLOAT_EQ(rig.dev->data.ext_value[0].get(), 50.0f);
    // A host-supplied default: Get_SP_Value goes through Get_Value.
    EXPECT_THROW(ZMXVDevice().Get_SP_Value(0, "out_v"), std::out_of_range);
    delete static_cast<VDeviceInterface*>(rig.dev.release());
}
