#include "app/ServerTrust.h"

#include "net/CertificateKey.h"
#include "net/Endpoint.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <iostream>

namespace
{

std::string Lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A pin as the program writes it: 64 hex digits.
bool IsPin(const std::string& text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(),
                                            [](unsigned char c) { return std::isxdigit(c) != 0; });
}

} // namespace

bool ServerTrust::WantsTls(bool& wanted, std::string& problem)
{
    const std::string value =
        Lowered(oNet::Trim(settings.GetValue("tls", SettingsFile::Match::ExactKey)));
    wanted = value == "on";
    if (wanted || value.empty() || value == "off")
        return true;
    problem = "The setting tls= in data.dat takes on or off, not \"" + value + "\".";
    return false;
}

oNet::Client::Trust ServerTrust::operator()(const std::string& pin)
{
    using Trust = oNet::Client::Trust;
    if (!acceptedNow.empty() && oNet::SamePin(acceptedNow, pin))
        return Trust::Trusted;
    const std::string stored =
        oNet::Trim(settings.GetValue("tls-pin", SettingsFile::Match::ExactKey));
    if (!stored.empty())
    {
        if (oNet::SamePin(stored, pin))
            return Trust::Trusted;
        const std::string text =
            "The identity of the server " + serverAddress +
            " has changed: its key is not the one you trusted.\n\nPin you trusted:\n" +
            (IsPin(stored) ? Lowered(stored) : stored + " (not a pin)") +
            "\n\nPin the server has now:\n" + pin +
            "\n\nSomeone may be listening in. If the server's operator has changed its key, "
            "remove the line tls-pin= from data.dat and connect again.";
        std::cerr << "The server's pin " << pin << " is not the trusted " << stored << "."
                  << std::endl;
        MessageBoxA(nullptr, text.c_str(), "Error", MB_ICONERROR);
        return Trust::NotTrusted;
    }

    const std::string question =
        "This is the first encrypted connection to the server " + serverAddress +
        ". The pin of its key is:\n\n" + pin +
        "\n\nIf the server's operator has given you its pin, the two must be the same. "
        "Trust this server and connect?";
    if (MessageBoxA(nullptr, question.c_str(), "New server", MB_YESNO | MB_ICONQUESTION) != IDYES)
    {
        std::cerr << "The server's pin " << pin << " was not trusted." << std::endl;
        return Trust::NotTrusted;
    }
    acceptedNow = pin;
    if (!settings.SetValue("tls-pin", pin, SettingsFile::Match::ExactKey))
        MessageBoxA(nullptr, "Unable to write the server's pin to data.dat.", "Error",
                    MB_ICONERROR);
    return Trust::TrustedOnAsking;
}
