#pragma once

#include <string>

// Where the main window keeps the user's nickname between runs. The program hands it the
// settings file; the window itself knows nothing of files.
class NicknameStore
{
public:
    virtual bool HasNickname() = 0;
    virtual std::string StoredNickname() = 0;
    // False when the nickname could not be stored.
    virtual bool StoreNickname(const std::string& nickname) = 0;

protected:
    ~NicknameStore() = default;
};
