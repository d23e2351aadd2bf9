#pragma once
#include <exception>

namespace velmo {

// The agent's one exception type: a printf-style message of at most 299
// characters; longer results are cut.
class VelmoException : public std::exception {
public:
    explicit VelmoException(const char* format, ...) __attribute__((format(printf, 2, 3)));
    ~VelmoException() override;
    const char* what() const noexcept override;

private:
    char message_[300];
};

}  // namespace velmo
