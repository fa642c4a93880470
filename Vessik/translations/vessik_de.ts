<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>LockWindow</name>
    <message>
        <source>Waiting for the keyboard: another program holds it.</source>
        <translation>Warten auf die Tastatur: Ein anderes Programm hält sie fest.</translation>
    </message>
    <message>
        <source>Wrong password. Wait a moment, then try again.</source>
        <translation>Falsches Passwort. Warten Sie einen Moment und versuchen Sie es dann erneut.</translation>
    </message>
    <message>
        <source>One more wrong password shuts the computer down.</source>
        <translation>Noch ein falsches Passwort fährt den Computer herunter.</translation>
    </message>
    <message>
        <source>Caps Lock is on.</source>
        <translation>Die Feststelltaste ist aktiviert.</translation>
    </message>
    <message>
        <source>Shift is locked.</source>
        <translation>Umschalttaste ist eingerastet.</translation>
    </message>
</context>
<context>
    <name>OverrideWindow</name>
    <message>
        <source>Keyboard layout: %1</source>
        <translation>Tastaturbelegung: %1</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Settings…</source>
        <translation>Einstellungen…</translation>
    </message>
    <message>
        <source>Quit Vessik</source>
        <translation>Vessik beenden</translation>
    </message>
</context>
<context>
    <name>VessikAppDelegate</name>
    <message>
        <source>Try it</source>
        <translation>Ausprobieren</translation>
    </message>
    <message>
        <source>Change</source>
        <translation>Ändern</translation>
    </message>
</context>
</TS>
