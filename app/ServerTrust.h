#pragma once

#include "app/SettingsFile.h"
#include "app/UserQuestions.h"
#include "net/Trust.h"

#include <string>

// The user's verdict on the pin of the server's key, when the program connects with tls=on: the
// pin trusted before ("tls-pin=" in the settings, read by its exact key so that no nickname can
// stand in for it), or the user's answer when the server is met for the first time, stored when
// it is yes. A pin other than the one trusted is refused, with both shown. This class decides;
// the questions and the refusal reach the user through UserQuestions.
class ServerTrust
{
public:
    ServerTrust(SettingsFile& settings, std::string serverAddress, UserQuestions& user)
        : settings(settings), serverAddress(std::move(serverAddress)), user(user)
    {
    }

    oNet::Trust operator()(const std::string& pin);

private:
    oNet::Trust Refuse(const std::string& stored, const std::string& pin);
    oNet::Trust AskOnFirstUse(const std::string& pin);

    SettingsFile& settings;
    std::string serverAddress;
    UserQuestions& user;
    std::string acceptedNow; // trusted in this run, stored or not
};
