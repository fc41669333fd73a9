#include "nacl/table.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "nacl/container.hpp"
#include "seafreeze/reader.hpp"

namespace tessarin::nacl {

SplineTable parse_nacl_splines(std::span<const unsigned char> bytes) {
  seafreeze::Reader r(bytes, 0);
  if (std::memcmp(r.take(4), "TNC1", 4) != 0)
    throw std::runtime_error("NaCl spline container: magic is not TNC1");
  const std::size_t count_lo = r.u8();
  const std::size_t count_hi = r.u8();
  const std::size_t count = count_lo | count_hi << 8;
  SplineTable table;
  for (std::size_t rec = 0; rec < count; ++rec) {
    const std::size_t name_len = r.u8();
    const unsigned char* name_bytes = r.take(name_len);
    if (!seafreeze::valid_utf8(name_bytes, name_len))
      throw std::runtime_error("invalid utf-8 material name");
    const std::string name(reinterpret_cast<const char*>(name_bytes), name_len);
    Spline3D s;
    std::uint32_t knots[3], coefs[3];
    for (auto& k : s.order) k = r.u8();
    for (auto& n : knots) n = r.u32();
    for (auto& n : coefs) n = r.u32();
    const std::vector<double> constants = r.f64_vec(2);
    s.solute_molar_mass = constants[0];
    s.ions = constants[1];
    for (std::size_t a = 0; a < 3; ++a) s.knots[a] = r.f64_vec(knots[a]);
    // Each count is below 2^32, so the first product fits; the second is
    // checked before it is formed. A count larger than the bytes left fails
    // in the reader before anything is allocated.
    std::uint64_t total = std::uint64_t{coefs[0]} * coefs[1];
    if (coefs[2] != 0 && total > std::numeric_limits<std::uint64_t>::max() / coefs[2])
      throw std::out_of_range("NaCl spline container: coefficient count of '" + name +
                              "' overflows");
    total *= coefs[2];
    s.coefs = r.f64_vec(total);
    for (std::size_t a = 0; a < 3; ++a) s.count[a] = coefs[a];
    if (!evaluable(s))
      throw std::runtime_error("NaCl spline container: orders and counts of '" + name +
                               "' do not match");
    prepare(s);
    table.insert_or_assign(name, std::move(s));
  }
  return table;
}

namespace {

struct Registry {
  SplineTable table;
  std::array<Material, 4> list;

  explicit Registry(SplineTable parsed)
      : table(std::move(parsed)),
        list{{{"NaClaq", spline("NaClaq_LP"), spline("NaClaq_HP")},
              {"NaClaq_LP", spline("NaClaq_LP"), nullptr},
              {"NaClaq_HP", spline("NaClaq_HP"), nullptr},
              {"NaClaq_5GPa_2024", spline("NaClaq_5GPa_2024"), nullptr}}} {}

  const Spline3D* spline(const char* name) const {
    const auto it = table.find(name);
    if (it == table.end())
      throw std::runtime_error(std::string("NaCl spline container: no spline '") + name + "'");
    return &it->second;
  }
};

const Registry& registry() {
  // A function-local static is initialised exactly once even when several
  // threads arrive together; if initialisation throws, the next call retries.
  static const Registry reg(parse_nacl_splines(container_bytes()));
  return reg;
}

}  // namespace

std::span<const Material> materials() { return registry().list; }

const Material* find_material(std::string_view name) {
  for (const Material& m : registry().list)
    if (name == m.name) return &m;
  return nullptr;
}

}  // namespace tessarin::nacl
