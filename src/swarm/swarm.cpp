#include "swarm/swarm.hpp"

#include <algorithm>
#include <initializer_list>

#include "hdc/encoders.hpp"
#include "hdc/errors.hpp"

namespace mhdc::swarm {

Hypervector rotate_right(HvView v, std::uint64_t k) {
  const std::size_t len = v.size();
  Hypervector out(len);
  if (len == 0) return out;
  const std::size_t s = static_cast<std::size_t>(k % len);
  std::copy(v.begin(), v.end() - s, out.begin() + s);
  std::copy(v.end() - s, v.end(), out.begin());
  return out;
}

HoloSwarm::HoloSwarm(std::uint64_t dim) : dim_(dim), swarm_(dim, 0.0f) {}

namespace {
// Room for `rows` in `store`; an empty store takes the first row's length as its width.
void reserve_rows(hdc::Rows& store, std::span<const HvView> rows) {
  if (store.size() == 0 && !rows.empty()) store.clear(rows[0].size());
  store.reserve(rows);
}
void reserve_rows(hdc::Rows& store, std::initializer_list<HvView> rows) {
  reserve_rows(store, std::span<const HvView>(rows.begin(), rows.size()));
}
}  // namespace

std::uint64_t HoloSwarm::role_shift(std::string_view name) const {
  return dim_ == 0 ? 0 : hdc::string_hash(name) % dim_;
}

// swarm[i] += rot(a * (b * c))[i] for i < min(dim, L, |swarm|), rot = rotation right
// by shift mod L. Reads the binding at (i - shift) mod L directly, so no temporary.
void HoloSwarm::superpose(HvView a, HvView b, HvView c, std::uint64_t shift) noexcept {
  const std::size_t len = std::min({a.size(), b.size(), c.size()});
  if (len == 0) return;
  const std::size_t k = static_cast<std::size_t>(shift % len);
  const std::size_t m = static_cast<std::size_t>(
      std::min<std::uint64_t>(dim_, std::min<std::size_t>(len, swarm_.size())));
  float* sv = swarm_.data();
  const std::size_t wrap = std::min(k, m);
  for (std::size_t i = 0; i < wrap; ++i) {
    const std::size_t j = i + len - k;
    sv[i] += a[j] * (b[j] * c[j]);
  }
  for (std::size_t i = wrap; i < m; ++i) {
    const std::size_t j = i - k;
    sv[i] += a[j] * (b[j] * c[j]);
  }
}

void HoloSwarm::add_agent(std::string_view role, HvView r_hv, std::string_view policy, HvView p_hv,
                          std::string_view skill, HvView s_hv) {
  // Everything that allocates happens first; from the first commit on nothing throws.
  std::string role_s(role), policy_s(policy), skill_s(skill);
  hdc::grow_for(role_names_, 1);
  hdc::grow_for(policy_names_, 1);
  hdc::grow_for(skill_names_, 1);
  reserve_rows(roles_, {r_hv});
  reserve_rows(policies_, {p_hv});
  reserve_rows(skills_, {s_hv});

  superpose(r_hv, p_hv, s_hv, role_shift(role));
  roles_.append(r_hv);
  policies_.append(p_hv);
  skills_.append(s_hv);
  role_names_.push_back(std::move(role_s));
  policy_names_.push_back(std::move(policy_s));
  skill_names_.push_back(std::move(skill_s));
}

void HoloSwarm::add_paradox_trap(std::span<const std::string> names,
                                 std::span<const Hypervector> roles,
                                 std::span<const Hypervector> keys) {
  const std::size_t n = names.size();
  if (n < 2) return;
  // A short argument would leave a broken cycle half-added; refuse it up front.
  auto need = [n](std::size_t have, const char* arg) {
    if (have < n)
      throw value_error(std::string("argument '") + arg + "': expected at least " +
                        std::to_string(n) + " vectors (one per name), got " +
                        std::to_string(have));
  };
  need(roles.size(), "roles");
  need(keys.size(), "keys");

  std::vector<std::string> role_s(names.begin(), names.begin() + n);
  std::vector<std::string> policy_s(n, std::string(kParadoxPolicy));
  std::vector<std::string> skill_s(n);
  for (std::size_t i = 0; i < n; ++i) skill_s[i] = names[(i + 1) % n];
  hdc::grow_for(role_names_, n);
  hdc::grow_for(policy_names_, n);
  hdc::grow_for(skill_names_, n);
  std::vector<HvView> r_rows(n), p_rows(n), s_rows(n);
  for (std::size_t i = 0; i < n; ++i) {
    r_rows[i] = roles[i];
    p_rows[i] = keys[i];
    s_rows[i] = roles[(i + 1) % n];
  }
  reserve_rows(roles_, r_rows);
  reserve_rows(policies_, p_rows);
  reserve_rows(skills_, s_rows);

  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t nxt = (i + 1) % n;
    superpose(roles[i], keys[i], roles[nxt], role_shift(names[i]));
    roles_.append(r_rows[i]);
    policies_.append(p_rows[i]);
    skills_.append(s_rows[i]);
    role_names_.push_back(std::move(role_s[i]));
    policy_names_.push_back(std::move(policy_s[i]));
    skill_names_.push_back(std::move(skill_s[i]));
  }
}

void HoloSwarm::save(hdc::StateWriter& w) const {
  w.u64(dim_);
  w.floats(swarm_);
  w.u64(size());
  for (std::size_t j = 0; j < size(); ++j) {
    w.str(role_names_[j]);
    w.str(policy_names_[j]);
    w.str(skill_names_[j]);
  }
  roles_.save(w);
  policies_.save(w);
  skills_.save(w);
}

HoloSwarm HoloSwarm::load(hdc::StateReader& r) {
  HoloSwarm s(0);  // the swarm vector is read, whatever its length, not made dim long
  s.dim_ = r.u64("dim");
  s.swarm_ = r.floats("swarm vector");
  const std::size_t n = r.count("agent count", 24);  // three names' byte counts each
  s.role_names_.reserve(n);
  s.policy_names_.reserve(n);
  s.skill_names_.reserve(n);
  for (std::size_t j = 0; j < n; ++j) {
    s.role_names_.push_back(r.text("role name"));
    s.policy_names_.push_back(r.text("policy name"));
    s.skill_names_.push_back(r.text("skill name"));
  }
  for (auto [rows, name] : {std::pair{&s.roles_, "role"}, {&s.policies_, "policy"}, {&s.skills_, "skill"}}) {
    // One vector an agent; a store's width is its first vector's length.
    const hdc::Rows::Shape shape = hdc::Rows::shape(r);
    if (shape.lengths.size() != n)
      r.fail(std::to_string(shape.lengths.size()) + " " + name + " vectors for " + std::to_string(n) + " agents");
    if (n != 0 && shape.width != shape.lengths[0])
      r.fail(std::string(name) + " vectors of width " + std::to_string(shape.width) + ", the first of length " +
             std::to_string(shape.lengths[0]));
    *rows = hdc::Rows::load(r);
  }
  return s;
}

std::pair<std::size_t, float> HoloSwarm::cleanup(const Hypervector& noisy, const hdc::Rows& book,
                                                 std::vector<float>& d) const {
  book.dots(noisy, 0.0f, d.data());
  hdc::to_resonance(d.data(), book.size(), static_cast<float>(noisy.size()));
  const std::size_t idx = hdc::first_best(d.data(), book.size(), -2.0f);
  return idx < book.size() ? std::pair(idx, d[idx]) : std::pair(std::size_t{0}, -2.0f);
}

ResonatorResult HoloSwarm::resonate(std::string_view role_key, HvView p_guess,
                                    std::uint64_t max_iter) const {
  const std::size_t n = size();
  if (n == 0) return {"none", "none", "none", 0.0f};

  const auto found = std::find(role_names_.begin(), role_names_.end(), role_key);
  const bool matched = found != role_names_.end();
  const std::size_t ridx = matched ? static_cast<std::size_t>(found - role_names_.begin()) : 0;
  if (max_iter == 0) return {role_names_[ridx], policy_names_[0], skill_names_[0], 0.0f};

  // Undo add_agent's rotation for this role.
  const Hypervector u = rotate_right(swarm_, inverse_shift(dim_, role_shift(role_key)));
  // Every product below is also taken with U, so only the first |U| elements of R
  // (and of each snapped vector) can matter; a missing role is dim zeros.
  const Hypervector r = matched ? roles_.row(ridx, u.size())
                                : Hypervector(std::min<std::uint64_t>(dim_, u.size()), 0.0f);
  const std::size_t ur = std::min(u.size(), r.size());

  std::vector<float> d(n);
  Hypervector noisy;
  noisy.reserve(ur);
  // noisy = U * (R * x) over the common length, R * x first.
  auto unbind_into = [&](HvView x) {
    noisy.resize(std::min(ur, x.size()));
    for (std::size_t i = 0; i < noisy.size(); ++i) noisy[i] = u[i] * (r[i] * x[i]);
  };
  auto iterate = [&](HvView p) {
    unbind_into(p);
    const std::size_t sidx = cleanup(noisy, skills_, d).first;
    unbind_into(skills_.row(sidx, ur));
    const auto [pidx, best] = cleanup(noisy, policies_, d);
    return Step{sidx, pidx, best};
  };

  // Iterations after the first depend only on the previous policy index, so once
  // an index comes back the rest of the max_iter iterations repeat a known cycle:
  // the answer is read off it rather than recomputed. The result is exactly that of
  // running every iteration, and a huge max_iter still ends after at most n + 1 steps.
  std::vector<Step> out;  // out[t - 1] is the result of iteration t
  out.push_back(iterate(p_guess));
  std::vector<std::uint64_t> seen(n, 0);  // seen[p] = iteration whose input was policy p
  Step last = out.back();
  for (std::uint64_t t = 2; t <= max_iter; ++t) {
    const std::size_t p = out.back().pidx;
    if (const std::uint64_t t0 = seen[p]; t0 != 0) {
      const std::uint64_t period = t - t0;
      last = out[t0 - 1 + (max_iter - t0) % period];
      break;
    }
    seen[p] = t;
    out.push_back(iterate(policies_.row(p, ur)));
    last = out.back();
  }
  return {role_names_[ridx], policy_names_[last.pidx], skill_names_[last.sidx], last.score};
}

std::vector<RoleScore> HoloSwarm::materialize(HvView probe, float threshold) const {
  const std::size_t n = size();
  std::vector<float> d(n);
  roles_.dots(probe, 0.0f, d.data());
  hdc::to_resonance(d.data(), n, static_cast<float>(probe.size()));
  std::vector<std::pair<float, std::size_t>> kept;
  kept.reserve(hdc::count_above(d.data(), n, threshold));
  for (std::size_t j = 0; j < n; ++j)
    if (d[j] > threshold) kept.emplace_back(d[j], j);  // NaN is never kept
  std::stable_sort(kept.begin(), kept.end(),
                   [](const auto& x, const auto& y) { return x.first > y.first; });
  std::vector<RoleScore> result;
  result.reserve(kept.size());
  for (const auto& [score, j] : kept) result.emplace_back(role_names_[j], score);
  return result;
}

}  // namespace mhdc::swarm
