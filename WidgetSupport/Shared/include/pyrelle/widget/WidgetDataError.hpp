#pragma once
// WidgetDataError: the one failure of the status format and its storage: the data or the
// location is not usable. It carries no message; callers show the waiting state instead.
#include <exception>

namespace pyrelle {

class WidgetDataError : public std::exception {
public:
    enum class Kind { invalid };

    explicit WidgetDataError(Kind kind = Kind::invalid) : kind_(kind) {}
    Kind kind() const noexcept { return kind_; }
    const char* what() const noexcept override { return "WidgetDataError.invalid"; }

private:
    Kind kind_;
};

}  // namespace pyrelle
