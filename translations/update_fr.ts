<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fr">
<context>
    <name>MainWindow</name>
    <message>
        <source>Kelvarion 3 Client Update</source>
        <translation>Mise à jour du client Kelvarion 3</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Détails</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stable</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Bêta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>Update to Kelvarion %1</source>
        <translation>Mise à jour vers Kelvarion %1</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Vous utilisez actuellement le &lt;strong&gt;canal %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Step two: Updating Kelvarion client</source>
        <translation>Étape deux : mise à jour du client Kelvarion</translation>
    </message>
    <message>
        <source>Step one: Updating updater</source>
        <translation>Étape un : mise à jour du programme de mise à jour</translation>
    </message>
    <message>
        <source>Confirm reboot</source>
        <translation>Confirmer le redémarrage</translation>
    </message>
    <message>
        <source>&lt;p&gt;A computer restart is required to proceed with the client update. If you do not reboot now, the Kelvarion update will be cancelled.&lt;/p&gt;&lt;p&gt;Do you want to reboot now?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Un redémarrage de l&apos;ordinateur est nécessaire pour poursuivre la mise à jour du client. Si vous ne redémarrez pas maintenant, la mise à jour de Kelvarion sera annulée.&lt;/p&gt;&lt;p&gt;Voulez-vous redémarrer maintenant ?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Mise à jour annulée</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Mise à jour</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Mise à jour annulée. Cliquez sur « Détails » pour en connaître les raisons.</translation>
    </message>
    <message>
        <source>Click to open &quot;%1://%2&quot;</source>
        <translation>Cliquer pour ouvrir « %1://%2 »</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Question</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Mise à jour en cours.&lt;/p&gt;&lt;p&gt;Voulez-vous vraiment l&apos;interrompre ?&lt;/p&gt;</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Error</source>
        <translation>Erreur</translation>
    </message>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Numéro de version non valide (%1)</translation>
    </message>
    <message>
        <source>Update server returned no version</source>
        <translation>Le serveur de mise à jour n&apos;a renvoyé aucune version</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Le serveur de mise à jour a renvoyé un numéro de version non valide (%1)</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Impossible d&apos;obtenir la dernière version
du client auprès du serveur de mise à jour.</translation>
    </message>
</context>
</TS>
