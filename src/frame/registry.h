// Capabilities register a maker for each module-level name they define; the
// module layer calls the makers in the order of its table of names.
#pragma once

#include <map>
#include <string>

// Makers return Python objects; declaring the type is enough here, so the
// folders' register.h stay free of the object layer.
namespace pybind11 {
class object;
}
namespace py = pybind11;

namespace qlo {

using Maker = py::object (*)();

class Registry {
public:
    void add(const char* name, Maker maker) { makers_[name] = maker; }
    Maker find(const std::string& name) const {
        auto it = makers_.find(name);
        return it == makers_.end() ? nullptr : it->second;
    }
    std::size_t size() const { return makers_.size(); }

private:
    std::map<std::string, Maker> makers_;
};

}  // namespace qlo
