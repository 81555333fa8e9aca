#include "app/ServerTrust.h"

#include "net/CertificateKey.h"
#include "net/Endpoint.h"

#include <algorithm>
#include <cctype>
#include <iostream>

namespace
{

// A pin as the program writes it: 64 hex digits.
bool IsPin(const std::string& text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string Lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

oNet::Trust ServerTrust::operator()(const std::string& pin)
{
    if (!acceptedNow.empty() && oNet::SamePin(acceptedNow, pin))
        return oNet::Trust::Trusted;
    const std::string stored =
        oNet::Trim(settings.GetValue("tls-pin", SettingsFile::Match::ExactKey));
    if (stored.empty())
        return AskOnFirstUse(pin);
    if (oNet::SamePin(stored, pin))
        return oNet::Trust::Trusted;
    return Refuse(stored, pin);
}

oNet::Trust ServerTrust::Refuse(const std::string& stored, const std::string& pin)
{
    std::cerr << "The server's pin " << pin << " is not the trusted " << stored << "." << std::endl;
    user.ShowError("The identity of the server " + serverAddress +
                   " has changed: its key is not the one you trusted.\n\nPin you trusted:\n" +
                   (IsPin(stored) ? Lowered(stored) : stored + " (not a pin)") +
                   "\n\nPin the server has now:\n" + pin +
                   "\n\nSomeone may be listening in. If the server's operator has changed its "
                   "key, remove the line tls-pin= from data.dat and connect again.");
    return oNet::Trust::NotTrusted;
}

oNet::Trust ServerTrust::AskOnFirstUse(const std::string& pin)
{
    const std::string question =
        "This is the first encrypted connection to the server " + serverAddress +
        ". The pin of its key is:\n\n" + pin +
        "\n\nIf the server's operator has given you its pin, the two must be the same. "
        "Trust this server and connect?";
    if (!user.AskYesNo("New server", question))
    {
        std::cerr << "The server's pin " << pin << " was not trusted." << std::endl;
        return oNet::Trust::NotTrusted;
    }
    acceptedNow = pin;
    if (!settings.SetValue("tls-pin", pin, SettingsFile::Match::ExactKey))
        user.ShowError("Unable to write the server's pin to data.dat.");
    return oNet::Trust::TrustedOnAsking;
}
