// The least a binding of these signatures must do: convert the token list in, and for the
// dict-returning variants build a dict of the distinct tokens.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace py = pybind11;

template <class Token>
std::unordered_map<Token, double> distinct(const std::vector<Token>& tokens) {
  std::unordered_map<Token, double> out;
  out.reserve(tokens.size());
  for (const Token& token : tokens) out.emplace(token, 1.0);
  return out;
}

PYBIND11_MODULE(bench_floor, module) {
  module.def("take_tokens", [](const std::vector<std::string>&) {});
  module.def("take_tokens", [](const std::vector<std::int64_t>&) {});
  module.def("distinct_dict", &distinct<std::string>);
  module.def("distinct_dict", &distinct<std::int64_t>);
}
