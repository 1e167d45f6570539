<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- The window's English texts. The German text, exactly as the program
     writes it, is the key: one line per text. -->
<TS version="2.1" language="en_US" sourcelanguage="de_DE">
<context>
<name>squeakbox</name>
<message><source>Aktivieren Sie Ihr Mikrofon und hören Sie Ihre lustige Stimme!</source><translation>Switch on your microphone and hear your funny voice!</translation></message>
<message><source>Homepage besuchen für tolle Apps!</source><translation>Visit the homepage for great apps!</translation></message>
<message><source>Homepage besuchen für für tolle Windows Software!</source><translation>Visit the homepage for more great software!</translation></message>
<message><source>Squeakbox-Anleitung</source><translation>Squeakbox guide</translation></message>
<message><source>Empfehlen Sie Squeakbox an Bekannte</source><translation>Recommend Squeakbox to your friends</translation></message>
<message><source>Mail an Bekannten</source><translation>Mail a friend</translation></message>
<message><source>Speichern Sie eine Aufnahme auf dem Desktop</source><translation>Save a recording to your desktop</translation></message>
<message><source>Aufnehmen</source><translation>Record</translation></message>
<message><source>Mikrofon von</source><translation>Microphone</translation></message>
<message><source>Sound Ausgabe an</source><translation>Sound output</translation></message>
<message><source>Squeakbox-Mikrofon (für Anrufe)</source><translation>Squeakbox microphone (for calls)</translation></message>
<message><source>Geringe Latenz</source><translation>Low latency</translation></message>
<message><source>Kürzere Verzögerung der Stimme, etwas weniger glatt</source><translation>Less delay on your voice, a little less smooth</translation></message>
<message><source>Eigene Stimme (ohne Effekt)</source><translation>Bypass (your own voice)</translation></message>
<message><source>Die Stimme unverändert und ohne Verzögerung</source><translation>Your voice as it is, without the delay</translation></message>
<message><source>Fenster zeigen</source><translation>Show the window</translation></message>
<message><source>Höher</source><translation>Pitch up</translation></message>
<message><source>Tiefer</source><translation>Pitch down</translation></message>
<message><source>in den Tray schließen</source><translation>Close to the tray</translation></message>
<message><source>Beenden</source><translation>Quit</translation></message>
<message><source>ohne Effekt</source><translation>bypassed</translation></message>
<message><source>Stimme höher</source><translation>Voice up a semitone</translation></message>
<message><source>Stimme tiefer</source><translation>Voice down a semitone</translation></message>
<message><source>Eigene Stimme (ohne Effekt) ein/aus</source><translation>Bypass on or off</translation></message>
<message><source>Aufnahme starten/beenden</source><translation>Start or stop recording</translation></message>
<message><source>Mithören</source><translation>Hear yourself</translation></message>
<message><source>Die Stimme im Squeakbox-Mikrofon auch selbst hören</source><translation>Also hear the voice that goes into the Squeakbox microphone</translation></message>
<message><source>Verzögerung: %1 ms</source><translation>Delay: %1 ms</translation></message>
<message><source>Natürliche Stimme</source><translation>Natural voice</translation></message>
<message><source>Nur die Tonhöhe ändern, die Klangfarbe der Stimme bleibt</source><translation>Change only the pitch; your voice keeps its timbre</translation></message>
<message><source>Klangfarbe</source><translation>Timbre</translation></message>
<message><source>Unverändert</source><translation>Unchanged</translation></message>
<message><source>Diese Empfehlung wurde von der Software %1 generiert.</source><translation>This recommendation was made by the program %1.</translation></message>
<message><source>%1 ändert Ihre Tonlage. Eine höhere Tonlage läßt Sie wie ein Zwerg sprechen, eine niedrigere gibt Ihnen eine sehr tiefe Stimme. Alles was Sie benötigen ist ein Mikrofon.</source><translation>%1 changes the pitch of your voice. A higher pitch makes you sound like a dwarf, a lower one gives you a very deep voice. All you need is a microphone.</translation></message>
<message><source>Schliessen Sie Ihre Hifi-Anlage oder den Audioausgang Ihrer TV Karte an Ihren Mikrofoneingang und hören Sie zu!</source><translation>Connect your hi-fi or the audio output of your TV card to your microphone input and listen!</translation></message>
<message><source>Das Programm ist völlig kostenlos!</source><translation>The program is completely free!</translation></message>
<message><source>Toll für Ihre nächste Karaoke Party!</source><translation>Great for your next karaoke party!</translation></message>
<message><source>Sie können %1 und weitere tolle Software bekommen unter</source><translation>You can get %1 and more great software at</translation></message>
</context>
</TS>
