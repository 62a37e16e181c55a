#pragma once
// Whether the application starts at login, read and changed on demand. Main thread only.

namespace tallyglass {

class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual bool isRegistered() const = 0;
    // Both return false on failure.
    virtual bool registerItem() = 0;
    virtual bool unregisterItem() = 0;
};

} // namespace tallyglass
