#include "app/version_text.h"

#include <QtGlobal>

#include <portaudio.h>
#include <sndfile.h>

namespace squeakbox {

std::string version_text(std::string_view engine) {
    std::string text = "squeakbox " SQUEAKBOX_VERSION "\n";
    // The versions of the libraries actually loaded, not the headers built
    // against: a distribution upgrade changes these without a rebuild.
    text += "Qt ";
    text += qVersion();
    text += "\n";
    const PaVersionInfo* portaudio = Pa_GetVersionInfo();
    text += portaudio != nullptr && portaudio->versionText != nullptr
                ? portaudio->versionText
                : "PortAudio (version unknown)";
    text += "\n";
    text += sf_version_string();
    text += "\nengine: ";
    text += engine;
    text += "\n";
    return text;
}

}  // namespace squeakbox
