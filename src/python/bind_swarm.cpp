// PyHoloSwarm: one agent swarm. The only class usable from any thread; the
// borrow flag still guards re-entrant calls.
#include <string>
#include <vector>

#include "python/class_binding.hpp"
#include "python/registry.hpp"
#include "swarm/swarm.hpp"

namespace mhdc::py {
namespace {
using swarm::HoloSwarm;

constexpr ClassInfo kInfo{
    "PyHoloSwarm",
    "HoloSwarm: An algebraic multi-agent coordination engine.\n"
    "Superimposes factorized agent capabilities (Role \xE2\x8A\x97 Policy \xE2\x8A\x97 Skill)\n"
    "into a single Hypervector and uses a Resonator Network to pull components.",
    ThreadBound::no};
constexpr Ctor<HoloSwarm> kNew{{"dim"}, [](Args& a) { return HoloSwarm(a.u64(0)); }};

constexpr Property<HoloSwarm> kDim{"dim", [](const HoloSwarm& s) { return box(s.dim()); }};

constexpr Property<HoloSwarm, Hypervector> kSwarmVector{
    "swarm_vector", [](const HoloSwarm& s) { return box(s.swarm_vector()); }, "v",
    [](Args& a) { return a.hv(0); },
    [](HoloSwarm& s, Hypervector&& v) { s.set_swarm_vector(std::move(v)); }};

constexpr Method<HoloSwarm> kGetSwarmVector{
    "get_swarm_vector",
    "Method alias for the `swarm_vector` property, matching the public docs\nand type stubs.",
    Access::shared, {}, [](HoloSwarm& s, Args&) { return box(s.swarm_vector()); }};

constexpr Method<HoloSwarm> kAddAgent{
    "add_agent",
    "Add a factorized agent to the swarm: Role \xE2\x8A\x97 Policy \xE2\x8A\x97 Skill\n"
    "Uses ASS (Accumulative Spectral Synthesis) to preserve SNR across large swarms.",
    Access::exclusive, {"role", "r_hv", "policy", "p_hv", "skill", "s_hv"}, [](HoloSwarm& s, Args& a) {
      const auto role = a.str(0);
      const Hypervector r_hv = a.hv(1);
      const auto policy = a.str(2);
      const Hypervector p_hv = a.hv(3);
      const auto skill = a.str(4);
      const Hypervector s_hv = a.hv(5);
      s.add_agent(role, r_hv, policy, p_hv, skill, s_hv);
      return none();
    }};

constexpr Method<HoloSwarm> kAddParadoxTrap{
    "add_paradox_trap", "", Access::exclusive,
    {"names", "roles", "keys"}, [](HoloSwarm& s, Args& a) {
      const std::vector<std::string> names = a.convert(0, to_utf8_list);
      const std::vector<Hypervector> roles = a.hv_list(1);
      const std::vector<Hypervector> keys = a.hv_list(2);
      s.add_paradox_trap(names, roles, keys);
      return none();
    }};

constexpr Method<HoloSwarm> kResonate{
    "resonate", "", Access::shared,
    {"role_key", "p_guess", "_s_guess", "max_iter"}, [](HoloSwarm& s, Args& a) {
      const auto role_key = a.str(0);
      const Hypervector p_guess = a.hv(1);
      a.hv(2);  // converted (and so checked) like p_guess, then not used
      const std::uint64_t max_iter = a.u64(3);
      const swarm::ResonatorResult r = s.resonate(role_key, p_guess, max_iter);
      return box_tuple(r.role, r.policy, r.skill, r.score);
    }};

constexpr Method<HoloSwarm> kMaterialize{
    "materialize", "", Access::shared, {"probe", "threshold"},
    [](HoloSwarm& s, Args& a) {
      const Hypervector probe = a.hv(0);
      const float threshold = a.f32(1);
      return box(s.materialize(probe, threshold));
    }};

constexpr Persist<HoloSwarm> kSave{1, [] { return Py_BuildValue("(i)", 0); },
                                   [](const HoloSwarm& s, hdc::StateWriter& w) { s.save(w); }, &HoloSwarm::load};

}  // namespace

PyTypeObject* type_PyHoloSwarm() {
  return class_type<HoloSwarm, kInfo, kNew, kDim, kSwarmVector, kGetSwarmVector, kAddAgent, kAddParadoxTrap,
                    kResonate, kMaterialize, kSave>();
}

}  // namespace mhdc::py
