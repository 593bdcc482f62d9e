// Agent swarm. An agent is a triple of named component vectors (role, policy,
// skill); adding one binds them element-wise, rotates the binding right by the
// role shift and adds it into the swarm vector. The resonator recovers, for one
// role, the policy and skill names by alternating cleanups; paradox traps add a
// closed cycle of agents whose skill is the next agent's role.
//
// Contract (all arithmetic in 32-bit floats, every sum in index order):
// - role_shift(name) = string_hash(name) mod dim, and 0 when dim = 0 (there is
//   nothing to rotate into).
// - Rotation right by k of a length-L vector moves entry i to (i + k) mod L for
//   every k and L; L = 0 leaves nothing to rotate.
// - Element-wise products run over the shorter length; a binding of length L is
//   added into the swarm vector over min(dim, L, length of the swarm vector).
// - Component vectors are stored whole, whatever their length, in hdc::Rows
//   (as sign bits while bipolar); a store's width is its first vector's length.
// - Every mutating call validates and allocates before it changes anything: a
//   call that throws leaves the swarm exactly as it was.
// - Scores: (d / float(n) + 1) * 0.5 with d the index-order dot over the common
//   prefix and n the length of the probe (materialize) or noisy vector (cleanup).
//   Selections start from -2 and move only on a strictly greater score.
// The class is plain C++ with no locking; callers serialise access.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hdc/types.hpp"
#include "hdc/rows.hpp"

namespace mhdc::swarm {

// out[(i + k) mod L] = v[i], L = |v|.
Hypervector rotate_right(HvView v, std::uint64_t k);

// (dim - k) mod dim in 64-bit arithmetic (0 for dim = 0): rotating a length-dim
// vector right by it undoes a rotation right by k, for every dim.
inline std::uint64_t inverse_shift(std::uint64_t dim, std::uint64_t k) {
  return dim == 0 ? 0 : (dim - k % dim) % dim;
}

struct ResonatorResult {
  std::string role;
  std::string policy;
  std::string skill;
  float score;
};

using RoleScore = std::pair<std::string, float>;

class HoloSwarm {
 public:
  static constexpr std::string_view kParadoxPolicy = "PARADOX_LINK";

  // swarm vector = dim zeros; a dim beyond memory throws std::bad_alloc / std::length_error.
  explicit HoloSwarm(std::uint64_t dim);

  std::uint64_t dim() const { return dim_; }
  std::size_t size() const { return role_names_.size(); }
  std::uint64_t role_shift(std::string_view name) const;

  const Hypervector& swarm_vector() const { return swarm_; }
  // Any length is accepted; later additions run over the shorter length.
  void set_swarm_vector(Hypervector v) noexcept { swarm_ = std::move(v); }

  // Bind r_hv[i] * (p_hv[i] * s_hv[i]), rotate by role_shift(role), add, append.
  void add_agent(std::string_view role, HvView r_hv, std::string_view policy, HvView p_hv,
                 std::string_view skill, HvView s_hv);

  // For n = |names| >= 2, agent i = (names[i], roles[i], "PARADOX_LINK", keys[i],
  // names[i+1], roles[i+1]) cyclically, bound as roles[i] * (keys[i] * roles[i+1]).
  // n < 2 does nothing. Throws value_error naming `roles` or `keys` when it holds
  // fewer than n vectors, before anything is added. Extra entries are ignored.
  void add_paradox_trap(std::span<const std::string> names, std::span<const Hypervector> roles,
                        std::span<const Hypervector> keys);

  // Resonator network over exactly max_iter iterations; ("none", "none", "none", 0)
  // for an empty swarm. Reads only.
  ResonatorResult resonate(std::string_view role_key, HvView p_guess, std::uint64_t max_iter) const;

  // Roles scoring strictly above threshold against probe, highest first, ties in
  // agent order.
  std::vector<RoleScore> materialize(HvView probe, float threshold) const;

  const std::vector<std::string>& role_names() const { return role_names_; }
  const std::vector<std::string>& policy_names() const { return policy_names_; }
  const std::vector<std::string>& skill_names() const { return skill_names_; }
  Hypervector role_hv(std::size_t j) const { return roles_.row(j); }
  Hypervector policy_hv(std::size_t j) const { return policies_.row(j); }
  Hypervector skill_hv(std::size_t j) const { return skills_.row(j); }

  // The dim, the swarm vector, every agent's names and vectors (docs/STATE.md).
  void save(hdc::StateWriter& w) const;
  static HoloSwarm load(hdc::StateReader& r);

 private:
  struct Step {
    std::size_t sidx;
    std::size_t pidx;
    float score;
  };
  void superpose(HvView a, HvView b, HvView c, std::uint64_t shift) noexcept;
  // Winning index and best match of noisy against a codebook.
  std::pair<std::size_t, float> cleanup(const Hypervector& noisy, const hdc::Rows& book, std::vector<float>& d) const;

  std::uint64_t dim_;
  Hypervector swarm_;
  std::vector<std::string> role_names_;
  std::vector<std::string> policy_names_;
  std::vector<std::string> skill_names_;
  hdc::Rows roles_;
  hdc::Rows policies_;
  hdc::Rows skills_;
};

}  // namespace mhdc::swarm
