<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>LockWindow</name>
    <message>
        <source>Waiting for the keyboard: another program holds it.</source>
        <translation>En attente du clavier : un autre programme le retient.</translation>
    </message>
    <message>
        <source>Wrong password. Wait a moment, then try again.</source>
        <translation>Mot de passe incorrect. Patientez un instant, puis réessayez.</translation>
    </message>
    <message>
        <source>One more wrong password shuts the computer down.</source>
        <translation>Un mot de passe incorrect de plus éteindra l’ordinateur.</translation>
    </message>
    <message>
        <source>Caps Lock is on.</source>
        <translation>Le verrouillage des majuscules est activé.</translation>
    </message>
    <message>
        <source>Shift is locked.</source>
        <translation>Maj est verrouillée.</translation>
    </message>
</context>
<context>
    <name>OverrideWindow</name>
    <message>
        <source>Keyboard layout: %1</source>
        <translation>Disposition du clavier : %1</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Settings…</source>
        <translation>Réglages…</translation>
    </message>
    <message>
        <source>Quit Vessik</source>
        <translation>Quitter Vessik</translation>
    </message>
</context>
<context>
    <name>VessikAppDelegate</name>
    <message>
        <source>Try it</source>
        <translation>Essayer</translation>
    </message>
    <message>
        <source>Change</source>
        <translation>Modifier</translation>
    </message>
</context>
</TS>
