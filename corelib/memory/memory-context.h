// Memory contexts: every allocation is made on behalf of a named context, a small
// number that selects an allocator from the process-wide registry. Values 0 to 110 own
// a registry slot; kMaxNumContexts (111) ends them; 112 to 117 are virtual contexts that
// resolve to one of two real contexts depending on whether the caller is render work.
#pragma once

#include "corelib/util/types.h"

namespace Memory
{
// A context value. Construction from a number is explicit so that a plain integer (a
// memory map ID, say) never turns into a context by accident.
class Context
{
public:
    constexpr Context() = default;
    constexpr explicit Context(U32 value) : m_value(value) {}

    constexpr U32 GetValue() const { return m_value; }
    // The display name of the value (values 0 to 117).
    const char* GetName() const;

    constexpr bool operator==(const Context& other) const { return m_value == other.m_value; }
    constexpr bool operator!=(const Context& other) const { return m_value != other.m_value; }

private:
    U32 m_value = 0;
};

inline constexpr Context kAllocInvalid{0};
inline constexpr Context kAllocUnknown{1};
inline constexpr Context kAllocSystemDirect{2};
inline constexpr Context kAllocSystemFlexible{3};
inline constexpr Context kAllocSystemDevelopment{4};
inline constexpr Context kAllocAppCpu{5};
inline constexpr Context kAllocAppCpuLargePage{6};
inline constexpr Context kAllocAppGpu{7};
inline constexpr Context kAllocAppGpuLargePage{8};
inline constexpr Context kAllocAppFlex{9};
inline constexpr Context kAllocDevCpu{10};
inline constexpr Context kAllocDevCpuLargePage{11};
inline constexpr Context kAllocDevGpu{12};
inline constexpr Context kAllocDevCpuAlways{13};
inline constexpr Context kAllocAnimation{14};
inline constexpr Context kAllocWrappedMalloc{15};
inline constexpr Context kAllocDebugDevMenu{16};
inline constexpr Context kAllocSingleGameFrame{17};
inline constexpr Context kAllocDoubleGameFrame{18};
inline constexpr Context kAllocDoubleGameplayUpdate{19};
inline constexpr Context kAllocGpuStaticRenderTarget{20};
inline constexpr Context kAllocGpuStaticTexture{21};
inline constexpr Context kAllocGpuTexture{22};
inline constexpr Context kAllocGpuTextureStaging{23};
inline constexpr Context kAllocGpuTextureStagingShadow{24};
inline constexpr Context kAllocGpuLevelTexture{25};
inline constexpr Context kAllocGpuLut{26};
inline constexpr Context kAllocGpuBuffer{27};
inline constexpr Context kAllocGpuClothRoBuffer{28};
inline constexpr Context kAllocGpuClothRwBuffer{29};
inline constexpr Context kAllocGpuDeformerBuffer{30};
inline constexpr Context kAllocGpuExposureMapBuffer{31};
inline constexpr Context kAllocGpuExposureMapHeightMaps{32};
inline constexpr Context kAllocGpuDynamicRenderTarget{33};
inline constexpr Context kAllocDevGpuOverflowRenderTarget{34};
inline constexpr Context kAllocGpuShader{35};
inline constexpr Context kAllocGpuDebugShader{36};
inline constexpr Context kAllocScriptData{37};
inline constexpr Context kAllocMenu{38};
inline constexpr Context kAllocNetwork{39};
inline constexpr Context kAllocNetworkProcess{40};
inline constexpr Context kAllocMovie{41};
inline constexpr Context kAllocDebugAudioBin{42};
inline constexpr Context kAllocDebugVoxBin{43};
inline constexpr Context kAllocVoxTables{44};
inline constexpr Context kAllocAudioEffects{45};
inline constexpr Context kAllocArmWorkData{46};
inline constexpr Context kAllocPhysics{47};
inline constexpr Context kAllocPhysicsPersistent{48};
inline constexpr Context kAllocPhysicsOverflow{49};
inline constexpr Context kAllocPhysicsSingleFrame{50};
inline constexpr Context kAllocPhysicsDoubleBuffer{51};
inline constexpr Context kAllocDebugPhysicsSingleFrame{52};
inline constexpr Context kAllocParticleDesc{53};
inline constexpr Context kAllocParticleManager{54};
inline constexpr Context kAllocParticleRuntime{55};
inline constexpr Context kAllocProcess{56};
inline constexpr Context kAllocLipsync{57};
inline constexpr Context kAllocWater{58};
inline constexpr Context kAllocGui2{59};
inline constexpr Context kAllocGui2GpuTexture{60};
inline constexpr Context kAllocIcon{61};
// A second GUI context whose display name is the same text as kAllocGui2.
inline constexpr Context kAllocGui2Secondary{62};
inline constexpr Context kAllocText2Font{63};
inline constexpr Context kAllocCustom{64};
inline constexpr Context kAllocAlignCache{65};
inline constexpr Context kAllocGestureCache{66};
inline constexpr Context kAllocIkData{67};
inline constexpr Context kAllocOxgi{68};
inline constexpr Context kAllocRenderPool{69};
inline constexpr Context kAllocOxrg{70};
inline constexpr Context kAllocDebugBlockmeshMgr{71};
inline constexpr Context kAllocGameToGpuRing{72};
inline constexpr Context kAllocDoubleGameToGpuRing{73};
inline constexpr Context kAllocRenderToGpuRing{74};
inline constexpr Context kAllocDoubleRenderToGpuRing{75};
inline constexpr Context kAllocGameToGpuResourceRing{76};
inline constexpr Context kAllocRenderToGpuResourceRing{77};
inline constexpr Context kAllocDevGameToGpuRing{78};
inline constexpr Context kAllocDevRenderToGpuRing{79};
inline constexpr Context kAllocDevGameToGpuResourceRing{80};
inline constexpr Context kAllocDevRenderToGpuResourceRing{81};
inline constexpr Context kAllocCpuAccessOnlyRingTag{82};
inline constexpr Context kAllocDoubleCpuAccessOnlyRingTag{83};
inline constexpr Context kAllocGpuUploadRingTag{84};
inline constexpr Context kAllocGpuReadbackRingTag{85};
inline constexpr Context kAllocSingleRenderFrame{86};
inline constexpr Context kAllocRenderGlobals{87};
inline constexpr Context kAllocPsoCacheTag{88};
inline constexpr Context kAllocConstBufferMgr{89};
inline constexpr Context kAllocPackagePageHdrs{90};
inline constexpr Context kAllocNpcGlobals{91};
inline constexpr Context kAllocPathfindManager{92};
inline constexpr Context kAllocRainMgr{93};
inline constexpr Context kAllocHud{94};
inline constexpr Context kAllocDevMenuLowMem{95};
inline constexpr Context kAllocProcessMgr{96};
inline constexpr Context kAllocComponentMgr{97};
inline constexpr Context kAllocPlayerGlobals{98};
inline constexpr Context kAllocClothCompute{99};
inline constexpr Context kAllocEventQueueScript{100};
inline constexpr Context kAllocEventQueueBucket{101};
inline constexpr Context kAllocEventQueueMenu{102};
inline constexpr Context kAllocVoxRequest{103};
inline constexpr Context kAllocTessaStatic{104};
inline constexpr Context kAllocTessaDynamic{105};
inline constexpr Context kAllocVegetation{106};
inline constexpr Context kAllocHollenPluginEventQueue{107};
inline constexpr Context kAllocWavetableSynth{108};
inline constexpr Context kAllocLodManager{109};
inline constexpr Context kAllocDeltaBitstream{110};
inline constexpr Context kMaxNumContexts{111};
inline constexpr Context kAllocSingleFrame{112};
inline constexpr Context kAllocGpuRing{113};
inline constexpr Context kAllocRenderResourceRingTag{114};
inline constexpr Context kAllocDoubleGpuRing{115};
inline constexpr Context kAllocDevGpuRing{116};
inline constexpr Context kAllocDevRenderResourceRing{117};

constexpr U32 kNumContextNames = 118;
// Size of the allocator registry: one slot per real context.
constexpr U32 kMaxAllocators = 111;

// The display name of a context value (values 0 to 117; larger values read "kAllocInvalid").
const char* GetContextName(Context context);
} // namespace Memory
