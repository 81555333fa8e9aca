#pragma once

#include "app/SettingsFile.h"
#include "net/Client.h"

#include <string>

// The settings that make the program connect with TLS: "tls=on", and "tls-pin=" the pin of the
// server's key that the user trusts. Both are read by their exact key, so that no nickname can
// stand in for them.
class ServerTrust
{
public:
    ServerTrust(SettingsFile& settings, std::string serverAddress)
        : settings(settings), serverAddress(std::move(serverAddress))
    {
    }

    // Whether tls= asks for TLS; false, with a sentence for the user, for a value other than
    // on or off.
    bool WantsTls(bool& wanted, std::string& problem);

    // The user's verdict on the server's pin: the pin trusted before, or the answer to the
    // question on first use (stored when it is yes). A pin other than the one trusted is
    // refused, with both shown.
    oNet::Client::Trust operator()(const std::string& pin);

private:
    SettingsFile& settings;
    std::string serverAddress;
    std::string acceptedNow; // trusted in this run, stored or not
};
