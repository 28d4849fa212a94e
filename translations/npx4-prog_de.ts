<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>AProgrammer</name>
    <message>
        <source>No Flash block to process</source>
        <translation>Kein Flash-Block zu bearbeiten</translation>
    </message>
    <message>
        <source>Reading whole Flash...</source>
        <translation>Gesamter Flash wird gelesen...</translation>
    </message>
    <message numerus="yes">
        <source>Reading %n Flash block(s): %1</source>
        <translation>
            <numerusform>%n Flash-Block wird gelesen: %1</numerusform>
            <numerusform>%n Flash-Blöcke werden gelesen: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Programming whole Flash...</source>
        <translation>Gesamter Flash wird programmiert...</translation>
    </message>
    <message numerus="yes">
        <source>Programming %n Flash block(s): %1</source>
        <translation>
            <numerusform>%n Flash-Block wird programmiert: %1</numerusform>
            <numerusform>%n Flash-Blöcke werden programmiert: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Erasing whole Flash...</source>
        <translation>Gesamter Flash wird gelöscht...</translation>
    </message>
    <message numerus="yes">
        <source>Erasing %n Flash block(s): %1</source>
        <translation>
            <numerusform>%n Flash-Block wird gelöscht: %1</numerusform>
            <numerusform>%n Flash-Blöcke werden gelöscht: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Auto-programming whole Flash...</source>
        <translation>Gesamter Flash wird automatisch programmiert...</translation>
    </message>
    <message numerus="yes">
        <source>Auto-programming %n Flash block(s): %1</source>
        <translation>
            <numerusform>%n Flash-Block wird automatisch programmiert: %1</numerusform>
            <numerusform>%n Flash-Blöcke werden automatisch programmiert: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Verifying whole Flash...</source>
        <translation>Gesamter Flash wird verglichen...</translation>
    </message>
    <message numerus="yes">
        <source>Verifying %n Flash block(s): %1</source>
        <translation>
            <numerusform>%n Flash-Block wird verglichen: %1</numerusform>
            <numerusform>%n Flash-Blöcke werden verglichen: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Checking whole Flash...</source>
        <translation>Gesamter Flash wird auf Leere geprüft...</translation>
    </message>
    <message numerus="yes">
        <source>Checking %n Flash block(s): %1</source>
        <translation>
            <numerusform>%n Flash-Block wird auf Leere geprüft: %1</numerusform>
            <numerusform>%n Flash-Blöcke werden auf Leere geprüft: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Gathering information about whole Flash...</source>
        <translation>Informationen über den gesamten Flash werden gesammelt...</translation>
    </message>
    <message numerus="yes">
        <source>Gathering information about %n Flash block(s): %1</source>
        <translation>
            <numerusform>Informationen über %n Flash-Block werden gesammelt: %1</numerusform>
            <numerusform>Informationen über %n Flash-Blöcke werden gesammelt: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Computing hashes for whole Flash...</source>
        <translation>Prüfsummen für den gesamten Flash werden berechnet...</translation>
    </message>
    <message numerus="yes">
        <source>Computing hashes for %n Flash block(s): %1</source>
        <translation>
            <numerusform>Prüfsummen für %n Flash-Block werden berechnet: %1</numerusform>
            <numerusform>Prüfsummen für %n Flash-Blöcke werden berechnet: %1</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Marking %n Flash block(s) as bad: %1</source>
        <translation>
            <numerusform>%n Flash-Block wird als defekt markiert: %1</numerusform>
            <numerusform>%n Flash-Blöcke werden als defekt markiert: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Reading firmware version info...</source>
        <translation>Versionsinformationen der Firmware werden gelesen...</translation>
    </message>
    <message>
        <source>Invalid buffer content</source>
        <translation>Ungültiger Pufferinhalt</translation>
    </message>
    <message>
        <source>Failed</source>
        <translation>Fehlgeschlagen</translation>
    </message>
    <message>
        <source>Operation aborted</source>
        <translation>Vorgang abgebrochen</translation>
    </message>
    <message>
        <source>Upgrading device firmware...</source>
        <translation>Firmware des Geräts wird aktualisiert...</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>CRC32: &lt;b&gt;%1&lt;/b&gt;</source>
        <translation>CRC32: &lt;b&gt;%1&lt;/b&gt;</translation>
    </message>
    <message>
        <source>MD5: &lt;b&gt;%1&lt;/b&gt;</source>
        <translation>MD5: &lt;b&gt;%1&lt;/b&gt;</translation>
    </message>
    <message>
        <source>SHA1: &lt;b&gt;%1&lt;/b&gt;</source>
        <translation>SHA1: &lt;b&gt;%1&lt;/b&gt;</translation>
    </message>
    <message>
        <source>MD5 or SHA1 could not be computed: this system&apos;s OpenSSL refuses it</source>
        <translation>MD5 oder SHA1 konnte nicht berechnet werden: das OpenSSL dieses Systems verweigert es</translation>
    </message>
    <message>
        <source>Loading to buffer...</source>
        <translation>Wird in den Puffer geladen...</translation>
    </message>
    <message>
        <source>Failed to seek to position %1: %2</source>
        <translation>Positionieren auf %1 fehlgeschlagen: %2</translation>
    </message>
    <message>
        <source>Failed to read data: %1</source>
        <translation>Daten konnten nicht gelesen werden: %1</translation>
    </message>
    <message numerus="yes">
        <source>The file is larger than the Flash: only its first %n byte(s) were loaded, the rest of the file was ignored</source>
        <translation>
            <numerusform>Die Datei ist größer als der Flash: Nur das erste %n Byte wurde geladen, der Rest der Datei wurde ignoriert</numerusform>
            <numerusform>Die Datei ist größer als der Flash: Nur die ersten %n Bytes wurden geladen, der Rest der Datei wurde ignoriert</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>Readed %n byte(s)</source>
        <translation>
            <numerusform>%n Byte gelesen</numerusform>
            <numerusform>%n Bytes gelesen</numerusform>
        </translation>
    </message>
    <message>
        <source>Operation failed</source>
        <translation>Vorgang fehlgeschlagen</translation>
    </message>
    <message>
        <source>Saving buffer content...</source>
        <translation>Pufferinhalt wird gespeichert...</translation>
    </message>
    <message>
        <source>Failed to write data: %1</source>
        <translation>Daten konnten nicht geschrieben werden: %1</translation>
    </message>
    <message>
        <source>No good Flash block is left for block %1</source>
        <translation>Für Block %1 ist kein intakter Flash-Block mehr übrig</translation>
    </message>
    <message>
        <source>Flash is not inserted to the programmer</source>
        <translation>Im Programmiergerät steckt kein Flash</translation>
    </message>
    <message>
        <source>Block %1 marked as bad</source>
        <translation>Block %1 als defekt markiert</translation>
    </message>
    <message>
        <source>Invalid or empty flash content</source>
        <translation>Ungültiger oder leerer Flash-Inhalt</translation>
    </message>
    <message>
        <source>Complete</source>
        <translation>Abgeschlossen</translation>
    </message>
    <message>
        <source>Failed to read buffer</source>
        <translation>Puffer konnte nicht gelesen werden</translation>
    </message>
    <message>
        <source>Internal error</source>
        <translation>Interner Fehler</translation>
    </message>
    <message>
        <source>Updating aborted</source>
        <translation>Aktualisierung abgebrochen</translation>
    </message>
    <message>
        <source>%1 detected.</source>
        <translation>%1 erkannt.</translation>
    </message>
    <message>
        <source>Bad blocks not found</source>
        <translation>Keine defekten Blöcke gefunden</translation>
    </message>
    <message numerus="yes">
        <source>Found %n bad block(s): %1</source>
        <translation>
            <numerusform>%n defekter Block gefunden: %1</numerusform>
            <numerusform>%n defekte Blöcke gefunden: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Unknown %1 flash device</source>
        <translation>Unbekannter Flash-Baustein von %1</translation>
    </message>
    <message>
        <source>Unknown flash device</source>
        <translation>Unbekannter Flash-Baustein</translation>
    </message>
    <message numerus="yes">
        <source>The file holds more than the %n byte(s) of the Flash: nothing was loaded</source>
        <translation>
            <numerusform>Die Datei enthält mehr als das %n Byte des Flash-Speichers: nichts wurde geladen</numerusform>
            <numerusform>Die Datei enthält mehr als die %n Bytes des Flash-Speichers: nichts wurde geladen</numerusform>
        </translation>
    </message>
    <message>
        <source>The file ends inside block %1: the rest of that block was filled with 0xFF</source>
        <translation>Die Datei endet innerhalb von Block %1: der Rest dieses Blocks wurde mit 0xFF aufgefüllt</translation>
    </message>
    <message numerus="yes">
        <source>%n block(s) were done before the failure: %1</source>
        <translation>
            <numerusform>%n Block war vor dem Fehler fertig: %1</numerusform>
            <numerusform>%n Blöcke waren vor dem Fehler fertig: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Block %1 had to move to another Flash block after blocks above it were written: the image must be written again</source>
        <translation>Block %1 musste in einen anderen Flash-Block verschoben werden, nachdem die Blöcke darüber geschrieben waren: das Abbild muss neu geschrieben werden</translation>
    </message>
    <message numerus="yes">
        <source>%n image block(s) at the end have no good Flash block left (%1 bad blocks): %2</source>
        <translation>
            <numerusform>%n Abbild-Block am Ende hat keinen guten Flash-Block mehr (%1 fehlerhafte Blöcke): %2</numerusform>
            <numerusform>%n Abbild-Blöcke am Ende haben keinen guten Flash-Block mehr (%1 fehlerhafte Blöcke): %2</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n bad block(s) not read, erased bytes in their place: %1</source>
        <translation>
            <numerusform>%n fehlerhafter Block nicht gelesen, gelöschte Bytes an seiner Stelle: %1</numerusform>
            <numerusform>%n fehlerhafte Blöcke nicht gelesen, gelöschte Bytes an ihrer Stelle: %1</numerusform>
        </translation>
    </message>
    <message>
        <source>Please download new version of Velmora NPX4 Programmer from %1.</source>
        <translation>Bitte laden Sie eine neue Version von Velmora NPX4 Programmer herunter: %1.</translation>
    </message>
</context>
<context>
    <name>BadBlkEditor</name>
    <message>
        <source>Bad block list editor</source>
        <translation>Liste der defekten Blöcke bearbeiten</translation>
    </message>
    <message>
        <source>&amp;Add...</source>
        <translation>&amp;Hinzufügen...</translation>
    </message>
    <message>
        <source>&amp;Delete</source>
        <translation>&amp;Entfernen</translation>
    </message>
    <message>
        <source>Read only mode: untick &quot;Read only&quot; in the main window to mark blocks bad</source>
        <translation>Nur-Lesen-Modus: „Nur lesen“ im Hauptfenster abwählen, um Blöcke als defekt zu markieren</translation>
    </message>
</context>
<context>
    <name>BlockSelection</name>
    <message>
        <source>&amp;Name of range list:</source>
        <translation>&amp;Name der Bereichsliste:</translation>
    </message>
    <message>
        <source>&amp;First:</source>
        <translation>&amp;Erster:</translation>
    </message>
    <message>
        <source>&amp;Last:</source>
        <translation>&amp;Letzter:</translation>
    </message>
    <message>
        <source>First</source>
        <translation>Erster</translation>
    </message>
    <message>
        <source>Last</source>
        <translation>Letzter</translation>
    </message>
    <message>
        <source>Add specified range to list</source>
        <translation>Angegebenen Bereich zur Liste hinzufügen</translation>
    </message>
    <message>
        <source>&amp;Add range</source>
        <translation>Bereich &amp;hinzufügen</translation>
    </message>
    <message>
        <source>Remove selected range from list</source>
        <translation>Ausgewählten Bereich aus der Liste entfernen</translation>
    </message>
    <message>
        <source>&amp;Remove range</source>
        <translation>Bereich en&amp;tfernen</translation>
    </message>
    <message>
        <source>Select block ranges</source>
        <translation>Blockbereiche auswählen</translation>
    </message>
    <message>
        <source>Custom (%1)</source>
        <translation>Benutzerdefiniert (%1)</translation>
    </message>
</context>
<context>
    <name>CliOptions</name>
    <message>
        <source>No command given</source>
        <translation>Kein Befehl angegeben</translation>
    </message>
    <message>
        <source>Unknown command &quot;%1&quot;</source>
        <translation>Unbekannter Befehl „%1“</translation>
    </message>
    <message>
        <source>The command &quot;%1&quot; needs a FILE</source>
        <translation>Der Befehl „%1“ benötigt eine DATEI</translation>
    </message>
    <message>
        <source>Unexpected argument &quot;%1&quot;</source>
        <translation>Unerwartetes Argument „%1“</translation>
    </message>
    <message>
        <source>--blocks and --all exclude each other</source>
        <translation>--blocks und --all schließen einander aus</translation>
    </message>
    <message>
        <source>Bad --blocks: %1</source>
        <translation>Ungültige Angabe in --blocks: %1</translation>
    </message>
    <message>
        <source>--pad applies to write, auto-write and verify with --blocks or --all</source>
        <translation>--pad gilt für write, auto-write und verify mit --blocks oder --all</translation>
    </message>
    <message>
        <source>The command &quot;%1&quot; takes no --%2</source>
        <translation>Der Befehl &quot;%1&quot; nimmt kein --%2</translation>
    </message>
    <message>
        <source>--device needs a programmer number from 0 or &quot;all&quot;, not &quot;%1&quot;</source>
        <translation>--device braucht eine Programmiergerätenummer ab 0 oder &quot;all&quot;, nicht &quot;%1&quot;</translation>
    </message>
    <message>
        <source>--device and --serial exclude each other</source>
        <translation>--device und --serial schließen einander aus</translation>
    </message>
    <message>
        <source>--serial needs distinct, non-empty serial numbers</source>
        <translation>--serial braucht verschiedene, nicht leere Seriennummern</translation>
    </message>
    <message>
        <source>read saves one file: it takes one programmer</source>
        <translation>read speichert eine Datei: es nimmt ein Programmiergerät</translation>
    </message>
    <message>
        <source>--progress takes &quot;json&quot; only, not &quot;%1&quot;</source>
        <translation>--progress nimmt nur &quot;json&quot;, nicht &quot;%1&quot;</translation>
    </message>
    <message>
        <source>Only one of --json, --report -, --log - and read&apos;s FILE - can use standard output</source>
        <translation>Nur eines von --json, --report -, --log - und der Datei - von read kann die Standardausgabe nutzen</translation>
    </message>
</context>
<context>
    <name>CliSession</name>
    <message>
        <source>Interrupted: stopping...</source>
        <translation>Unterbrochen: wird angehalten...</translation>
    </message>
    <message>
        <source>The file &quot;%1&quot; does not exist</source>
        <translation>Die Datei „%1“ existiert nicht</translation>
    </message>
    <message>
        <source>Cannot write the file &quot;%1&quot;: %2</source>
        <translation>Die Datei „%1“ kann nicht geschrieben werden: %2</translation>
    </message>
    <message>
        <source>The programmer&apos;s firmware %1 is older than %2: &quot;npx4-cli upgrade-firmware&quot; upgrades it</source>
        <translation>Die Firmware %1 des Programmiergeräts ist älter als %2: „npx4-cli upgrade-firmware“ aktualisiert sie</translation>
    </message>
    <message>
        <source>No programmer found: %1</source>
        <translation>Kein Programmiergerät gefunden: %1</translation>
    </message>
    <message>
        <source>Cannot read the file &quot;%1&quot;: %2</source>
        <translation>Die Datei „%1“ kann nicht gelesen werden: %2</translation>
    </message>
    <message>
        <source>The operation was not started</source>
        <translation>Der Vorgang wurde nicht gestartet</translation>
    </message>
    <message>
        <source>none</source>
        <translation>keine</translation>
    </message>
    <message>
        <source>The file &quot;%1&quot; covers the blocks %2 only: the blocks to work on reach past its end (--pad counts the rest as 0xFF)</source>
        <translation>Die Datei &quot;%1&quot; umfasst nur die Blöcke %2: die zu bearbeitenden Blöcke reichen über ihr Ende hinaus (--pad zählt den Rest als 0xFF)</translation>
    </message>
    <message numerus="yes">
        <source>Saved %n block(s) to &quot;%1&quot;</source>
        <translation>
            <numerusform>%n Block in &quot;%1&quot; gespeichert</numerusform>
            <numerusform>%n Blöcke in &quot;%1&quot; gespeichert</numerusform>
        </translation>
    </message>
    <message>
        <source>Cannot write the image to standard output</source>
        <translation>Das Abbild kann nicht auf die Standardausgabe geschrieben werden</translation>
    </message>
</context>
<context>
    <name>CommandLine</name>
    <message>
        <source>Desktop tool for the NPX4 USB NAND flash programmer.</source>
        <translation>Desktop-Werkzeug für das NPX4-USB-Programmiergerät für NAND-Flash.</translation>
    </message>
    <message>
        <source>file</source>
        <translation>datei</translation>
    </message>
    <message>
        <source>Image file to load into the buffer at start.</source>
        <translation>Abbilddatei, die beim Start in den Puffer geladen wird.</translation>
    </message>
    <message>
        <source>[file]</source>
        <translation>[datei]</translation>
    </message>
    <message>
        <source>Only one file can be loaded into the buffer: %1</source>
        <translation>Nur eine Datei kann in den Puffer geladen werden: %1</translation>
    </message>
</context>
<context>
    <name>ExitDialog</name>
    <message>
        <source>Are you sure want to close?</source>
        <translation>Möchten Sie das Programm wirklich beenden?</translation>
    </message>
    <message>
        <source>&amp;Do not ask again</source>
        <translation>&amp;Nicht mehr fragen</translation>
    </message>
    <message>
        <source>&lt;b&gt;The buffer holds data read from the Flash that was not saved to a file: closing loses it.&lt;/b&gt;</source>
        <translation>&lt;b&gt;Der Puffer enthält aus dem Flash gelesene Daten, die nicht in einer Datei gespeichert wurden: Beim Beenden gehen sie verloren.&lt;/b&gt;</translation>
    </message>
    <message>
        <source>&lt;b&gt;An operation is running: closing aborts it.&lt;/b&gt;</source>
        <translation>&lt;b&gt;Ein Vorgang läuft: Schließen bricht ihn ab.&lt;/b&gt;</translation>
    </message>
</context>
<context>
    <name>Ftd</name>
    <message>
        <source>ftd2xx: %1</source>
        <translation>ftd2xx: %1</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Invalid handle</source>
        <translation>Ungültiges Handle</translation>
    </message>
    <message>
        <source>Device not found</source>
        <translation>Gerät nicht gefunden</translation>
    </message>
    <message>
        <source>Device not opened</source>
        <translation>Gerät nicht geöffnet</translation>
    </message>
    <message>
        <source>Io Error</source>
        <translation>E/A-Fehler</translation>
    </message>
    <message>
        <source>Insufficient resounces</source>
        <translation>Unzureichende Ressourcen</translation>
    </message>
    <message>
        <source>Invalid parameter</source>
        <translation>Ungültiger Parameter</translation>
    </message>
    <message>
        <source>Invalid baud rate</source>
        <translation>Ungültige Baudrate</translation>
    </message>
    <message>
        <source>Device not opened for erase</source>
        <translation>Gerät nicht zum Löschen geöffnet</translation>
    </message>
    <message>
        <source>Device not opened for write</source>
        <translation>Gerät nicht zum Schreiben geöffnet</translation>
    </message>
    <message>
        <source>Failed to write device</source>
        <translation>Schreiben auf das Gerät fehlgeschlagen</translation>
    </message>
    <message>
        <source>EEPROM read failed</source>
        <translation>Lesen des EEPROM fehlgeschlagen</translation>
    </message>
    <message>
        <source>EEPROM write failed</source>
        <translation>Schreiben des EEPROM fehlgeschlagen</translation>
    </message>
    <message>
        <source>EEPROM erase failed</source>
        <translation>Löschen des EEPROM fehlgeschlagen</translation>
    </message>
    <message>
        <source>EEPROM not present</source>
        <translation>Kein EEPROM vorhanden</translation>
    </message>
    <message>
        <source>EEPROM not programmed</source>
        <translation>EEPROM nicht programmiert</translation>
    </message>
    <message>
        <source>Invalid arguments</source>
        <translation>Ungültige Argumente</translation>
    </message>
    <message>
        <source>Not supported</source>
        <translation>Nicht unterstützt</translation>
    </message>
    <message>
        <source>Other error</source>
        <translation>Sonstiger Fehler</translation>
    </message>
    <message>
        <source>Unknown error #%1</source>
        <translation>Unbekannter Fehler Nr. %1</translation>
    </message>
</context>
<context>
    <name>GangRunner</name>
    <message>
        <source>No programmer found
</source>
        <translation>Kein Programmiergerät gefunden
</translation>
    </message>
</context>
<context>
    <name>LineFile</name>
    <message>
        <source>Cannot write the file &quot;%1&quot;: %2</source>
        <translation>Die Datei „%1“ kann nicht geschrieben werden: %2</translation>
    </message>
</context>
<context>
    <name>MainDialog</name>
    <message>
        <source>&lt;b&gt;Buffer is empty&lt;/b&gt;</source>
        <translation>&lt;b&gt;Puffer ist leer&lt;/b&gt;</translation>
    </message>
    <message>
        <source>Recent files</source>
        <translation>Zuletzt verwendete Dateien</translation>
    </message>
    <message>
        <source>&amp;Load...</source>
        <translation>&amp;Laden...</translation>
    </message>
    <message>
        <source>Save buffer content to file</source>
        <translation>Pufferinhalt in eine Datei speichern</translation>
    </message>
    <message>
        <source>&amp;Save as...</source>
        <translation>&amp;Speichern unter...</translation>
    </message>
    <message>
        <source>Automatically perform erasing, checking, programming and verifying</source>
        <translation>Löschen, Prüfen, Programmieren und Vergleichen automatisch ausführen</translation>
    </message>
    <message>
        <source>&amp;Auto-write</source>
        <translation>&amp;Auto-Schreiben</translation>
    </message>
    <message>
        <source>Program only changed blocks</source>
        <translation>Nur geänderte Blöcke programmieren</translation>
    </message>
    <message>
        <source>Compute CRC32, MD5 and SHA1 hashes</source>
        <translation>CRC32-, MD5- und SHA1-Prüfsummen berechnen</translation>
    </message>
    <message>
        <source>Co&amp;mpute CRC</source>
        <translation>&amp;Prüfsummen</translation>
    </message>
    <message>
        <source>Read content of flash</source>
        <translation>Inhalt des Flash lesen</translation>
    </message>
    <message>
        <source>&amp;Read</source>
        <translation>L&amp;esen</translation>
    </message>
    <message>
        <source>Erase flash content</source>
        <translation>Inhalt des Flash löschen</translation>
    </message>
    <message>
        <source>&amp;Erase</source>
        <translation>Lösc&amp;hen</translation>
    </message>
    <message>
        <source>Check is flash erased or not</source>
        <translation>Prüfen, ob der Flash gelöscht ist</translation>
    </message>
    <message>
        <source>&amp;Blank check</source>
        <translation>Lee&amp;rprüfung</translation>
    </message>
    <message>
        <source>Write buffer content to the flash</source>
        <translation>Pufferinhalt in den Flash schreiben</translation>
    </message>
    <message>
        <source>&amp;Write</source>
        <translation>Schre&amp;iben</translation>
    </message>
    <message>
        <source>Compare flash and buffer contents</source>
        <translation>Inhalt von Flash und Puffer vergleichen</translation>
    </message>
    <message>
        <source>&amp;Verify</source>
        <translation>&amp;Vergleichen</translation>
    </message>
    <message>
        <source>Get flash information</source>
        <translation>Informationen über den Flash abrufen</translation>
    </message>
    <message>
        <source>Ba&amp;d blocks</source>
        <translation>&amp;Defekte Blöcke</translation>
    </message>
    <message>
        <source>Switch between read only and full modes</source>
        <translation>Zwischen Nur-Lesen-Modus und vollem Modus umschalten</translation>
    </message>
    <message>
        <source>Read &amp;only</source>
        <translation>N&amp;ur lesen</translation>
    </message>
    <message>
        <source>&lt;p&gt;Enable/disable error correcting code.&lt;/p&gt;&lt;p&gt;It is required to modern NAND flash memory.&lt;/p&gt;&lt;p&gt;It is recomended to keep this option on.&lt;/p&gt;</source>
        <translation>&lt;p&gt;Fehlerkorrektur (ECC) ein- oder ausschalten.&lt;/p&gt;&lt;p&gt;Moderne NAND-Flash-Speicher benötigen sie.&lt;/p&gt;&lt;p&gt;Es wird empfohlen, diese Option eingeschaltet zu lassen.&lt;/p&gt;</translation>
    </message>
    <message>
        <source>&amp;Use ECC</source>
        <translation>E&amp;CC verwenden</translation>
    </message>
    <message>
        <source>Abort current operation</source>
        <translation>Laufenden Vorgang abbrechen</translation>
    </message>
    <message>
        <source>Close program</source>
        <translation>Programm beenden</translation>
    </message>
    <message>
        <source>&amp;Close</source>
        <translation>Bee&amp;nden</translation>
    </message>
    <message>
        <source>Busy</source>
        <translation>Beschäftigt</translation>
    </message>
    <message>
        <source>busy</source>
        <translation>beschäftigt</translation>
    </message>
    <message>
        <source>All busy</source>
        <translation>Alles beschäftigt</translation>
    </message>
    <message>
        <source>Device Disconnected</source>
        <translation>Gerät getrennt</translation>
    </message>
    <message>
        <source>Running on the simulated programmer (NPX4_SIMULATOR=%1), not on a real device</source>
        <translation>Simuliertes Programmiergerät in Verwendung (NPX4_SIMULATOR=%1), kein echtes Gerät</translation>
    </message>
    <message>
        <source>Failed to open programmer device. Is it connected?</source>
        <translation>Das Programmiergerät konnte nicht geöffnet werden. Ist es angeschlossen?</translation>
    </message>
    <message>
        <source>Programmer device successfully opened</source>
        <translation>Programmiergerät erfolgreich geöffnet</translation>
    </message>
    <message>
        <source>Programmer device disconnected</source>
        <translation>Programmiergerät getrennt</translation>
    </message>
    <message>
        <source>Device firmware upgrade available</source>
        <translation>Firmware-Aktualisierung für das Gerät verfügbar</translation>
    </message>
    <message>
        <source>New version of firmware for your device is available.
Current version is %1.
Do you want to proceed upgrade to version %2 now?</source>
        <translation>Für Ihr Gerät ist eine neue Firmware-Version verfügbar.
Die aktuelle Version ist %1.
Möchten Sie jetzt auf Version %2 aktualisieren?</translation>
    </message>
    <message>
        <source>Bad blocks</source>
        <translation>Defekte Blöcke</translation>
    </message>
    <message numerus="yes">
        <source>Removing a block from the list does not make it good again: %n block(s) stay marked bad on the chip: %1.</source>
        <translation>
            <numerusform>Ein Block wird nicht wieder nutzbar, weil er aus der Liste entfernt wird: %n Block bleibt auf dem Chip als defekt markiert: %1.</numerusform>
            <numerusform>Ein Block wird nicht wieder nutzbar, weil er aus der Liste entfernt wird: %n Blöcke bleiben auf dem Chip als defekt markiert: %1.</numerusform>
        </translation>
    </message>
    <message>
        <source>Mark bad blocks</source>
        <translation>Blöcke als defekt markieren</translation>
    </message>
    <message numerus="yes">
        <source>Mark %n block(s) as bad on the chip: %1?

This cannot be undone: a block marked bad is never used again.</source>
        <translation>
            <numerusform>%n Block auf dem Chip als defekt markieren: %1?

Das kann nicht rückgängig gemacht werden: Ein als defekt markierter Block wird nie wieder verwendet.</numerusform>
            <numerusform>%n Blöcke auf dem Chip als defekt markieren: %1?

Das kann nicht rückgängig gemacht werden: Ein als defekt markierter Block wird nie wieder verwendet.</numerusform>
        </translation>
    </message>
    <message>
        <source>The blocks were not marked bad: the programmer is busy.</source>
        <translation>Die Blöcke wurden nicht als defekt markiert: Das Programmiergerät ist beschäftigt.</translation>
    </message>
    <message>
        <source>Whole flash (0-%1)</source>
        <translation>Gesamter Flash (0-%1)</translation>
    </message>
    <message>
        <source>Other block range...</source>
        <translation>Anderer Blockbereich...</translation>
    </message>
    <message>
        <source>Select block ranges to program</source>
        <translation>Blockbereiche zum Programmieren auswählen</translation>
    </message>
    <message>
        <source>Select block ranges to erase</source>
        <translation>Blockbereiche zum Löschen auswählen</translation>
    </message>
    <message>
        <source>Select block ranges to read</source>
        <translation>Blockbereiche zum Lesen auswählen</translation>
    </message>
    <message>
        <source>&lt;b&gt;Buffer contains data from Flash&lt;/b&gt;</source>
        <translation>&lt;b&gt;Puffer enthält Daten aus dem Flash&lt;/b&gt;</translation>
    </message>
    <message>
        <source>&lt;b&gt;Buffer may contain some corrupted data&lt;/b&gt;</source>
        <translation>&lt;b&gt;Puffer enthält möglicherweise beschädigte Daten&lt;/b&gt;</translation>
    </message>
    <message>
        <source>Select block ranges to verify</source>
        <translation>Blockbereiche zum Vergleichen auswählen</translation>
    </message>
    <message>
        <source>Select block ranges to check</source>
        <translation>Blockbereiche zum Prüfen auswählen</translation>
    </message>
    <message>
        <source>Select block ranges to save</source>
        <translation>Blockbereiche zum Speichern auswählen</translation>
    </message>
    <message>
        <source>Binary files (*.bin *.rom)</source>
        <translation>Binärdateien (*.bin *.rom)</translation>
    </message>
    <message>
        <source>Any files (*)</source>
        <translation>Alle Dateien (*)</translation>
    </message>
    <message>
        <source>Select file</source>
        <translation>Datei auswählen</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to open file: %1</source>
        <translation>Die Datei konnte nicht geöffnet werden: %1</translation>
    </message>
    <message>
        <source>Opened file &quot;&lt;b&gt;%1&lt;/b&gt;&quot;</source>
        <translation>Datei „&lt;b&gt;%1&lt;/b&gt;“ geöffnet</translation>
    </message>
    <message>
        <source>Select file name</source>
        <translation>Dateinamen auswählen</translation>
    </message>
    <message>
        <source>Failed to create file: %1</source>
        <translation>Die Datei konnte nicht angelegt werden: %1</translation>
    </message>
    <message>
        <source>Created file &quot;&lt;b&gt;%1&lt;/b&gt;&quot;</source>
        <translation>Datei „&lt;b&gt;%1&lt;/b&gt;“ angelegt</translation>
    </message>
    <message>
        <source>Failed to write file &quot;&lt;b&gt;%1&lt;/b&gt;&quot;: %2</source>
        <translation>Die Datei „&lt;b&gt;%1&lt;/b&gt;“ konnte nicht geschrieben werden: %2</translation>
    </message>
    <message>
        <source>Buffer contains file:&lt;br/&gt;&lt;b&gt;%1&lt;/b&gt;</source>
        <translation>Puffer enthält die Datei:&lt;br/&gt;&lt;b&gt;%1&lt;/b&gt;</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>%1: &lt;font color=red&gt;ERROR: %2&lt;/font&gt;</source>
        <translation>%1: &lt;font color=red&gt;FEHLER: %2&lt;/font&gt;</translation>
    </message>
    <message>
        <source>%1: &lt;font color=green&gt;%2&lt;/font&gt;</source>
        <translation>%1: &lt;font color=green&gt;%2&lt;/font&gt;</translation>
    </message>
    <message>
        <source>%1: &lt;b&gt;%2&lt;/b&gt;</source>
        <translation>%1: &lt;b&gt;%2&lt;/b&gt;</translation>
    </message>
    <message>
        <source>Most recent version can be downloaded from &lt;a href=&apos;%4&apos;&gt;%4&lt;/a&gt;.&lt;br/&gt;&lt;br/&gt;</source>
        <translation>Die neueste Version kann unter &lt;a href=&apos;%4&apos;&gt;%4&lt;/a&gt; heruntergeladen werden.&lt;br/&gt;&lt;br/&gt;</translation>
    </message>
    <message>
        <source>Ctrl+R</source>
        <translation>Ctrl+R</translation>
    </message>
    <message>
        <source>U&amp;pdate</source>
        <translation>Ak&amp;tualisieren</translation>
    </message>
    <message>
        <source>Abor&amp;t</source>
        <translation>A&amp;bbrechen</translation>
    </message>
    <message>
        <source>Click the small arrow, or hold the button down, to choose block ranges</source>
        <translation>Auf den kleinen Pfeil klicken oder die Schaltfläche gedrückt halten, um Blockbereiche zu wählen</translation>
    </message>
    <message numerus="yes">
        <source>Chip: &lt;b&gt;%1&lt;/b&gt;, %n bad block(s)</source>
        <translation>
            <numerusform>Chip: &lt;b&gt;%1&lt;/b&gt;, %n defekter Block</numerusform>
            <numerusform>Chip: &lt;b&gt;%1&lt;/b&gt;, %n defekte Blöcke</numerusform>
        </translation>
    </message>
    <message>
        <source>Block %1 and every later block then move to the next good block: an image already written there no longer verifies and must be written again.</source>
        <translation>Block %1 und jeder spätere Block rücken dann in den nächsten guten Block: Ein dort bereits geschriebenes Abbild besteht den Vergleich nicht mehr und muss neu geschrieben werden.</translation>
    </message>
    <message>
        <source>The image blocks %1 of the image in the buffer then move to the next good block: that image, if already written, no longer verifies and must be written again.</source>
        <translation>Die Abbildblöcke %1 des Abbilds im Puffer rücken dann in den nächsten guten Block: Ist dieses Abbild bereits geschrieben, besteht es den Vergleich nicht mehr und muss neu geschrieben werden.</translation>
    </message>
    <message>
        <source>Erase whole Flash</source>
        <translation>Gesamten Flash löschen</translation>
    </message>
    <message>
        <source>Erase the whole Flash?

Every block of the chip is erased: its image and all other data are lost.</source>
        <translation>Den gesamten Flash löschen?

Jeder Block des Chips wird gelöscht: Sein Abbild und alle anderen Daten gehen verloren.</translation>
    </message>
    <message>
        <source>Unsaved buffer</source>
        <translation>Ungesicherter Puffer</translation>
    </message>
    <message>
        <source>The buffer holds data read from the Flash that was not saved to a file. It will be replaced.

Go on?</source>
        <translation>Der Puffer enthält aus dem Flash gelesene Daten, die nicht in einer Datei gespeichert wurden. Sie werden ersetzt.

Fortfahren?</translation>
    </message>
    <message>
        <source>Block 2 of the buffer holds no image directory, so the blocks of the image are unknown. Load an image file that has one, or choose &quot;Whole flash&quot; or other blocks from the button&apos;s menu (click its small arrow, or hold the button down).</source>
        <translation>Block 2 des Puffers enthält kein Abbildverzeichnis, daher sind die Blöcke des Abbilds unbekannt. Laden Sie eine Abbilddatei mit Verzeichnis, oder wählen Sie „Gesamter Flash“ oder andere Blöcke im Menü der Schaltfläche (ihren kleinen Pfeil anklicken oder die Schaltfläche gedrückt halten).</translation>
    </message>
    <message>
        <source>Block 2 of the Flash holds no image directory, so the blocks of its image are unknown. Choose &quot;Whole flash&quot; or other blocks from the button&apos;s menu (click its small arrow, or hold the button down).</source>
        <translation>Block 2 des Flash enthält kein Abbildverzeichnis, daher sind die Blöcke seines Abbilds unbekannt. Wählen Sie „Gesamter Flash“ oder andere Blöcke im Menü der Schaltfläche (ihren kleinen Pfeil anklicken oder die Schaltfläche gedrückt halten).</translation>
    </message>
    <message>
        <source>Shortcut: %1</source>
        <translation>Tastenkürzel: %1</translation>
    </message>
    <message>
        <source>it is not a regular file</source>
        <translation>es ist keine reguläre Datei</translation>
    </message>
</context>
<context>
    <name>OperationMeter</name>
    <message>
        <source>%1 elapsed</source>
        <translation>%1 vergangen</translation>
    </message>
    <message>
        <source>%1 elapsed, %2 MB/s, %3 left</source>
        <translation>%1 vergangen, %2 MB/s, noch %3</translation>
    </message>
    <message>
        <source>%1 in %2, %3 MB/s on average</source>
        <translation>%1 in %2, im Mittel %3 MB/s</translation>
    </message>
    <message>
        <source>%1 s</source>
        <translation>%1 s</translation>
    </message>
</context>
<context>
    <name>Programmer</name>
    <message>
        <source>Data for block %1 is larger than a block (%2 bytes)</source>
        <translation>Die Daten für Block %1 sind größer als ein Block (%2 Bytes)</translation>
    </message>
    <message>
        <source>Send failed: %1 of %2 bytes written</source>
        <translation>Senden fehlgeschlagen: %1 von %2 Bytes geschrieben</translation>
    </message>
    <message>
        <source>Verify failed for block %1 at 0x%2: expected 0x%3, actual 0x%4</source>
        <translation>Vergleich für Block %1 bei 0x%2 fehlgeschlagen: erwartet 0x%3, gelesen 0x%4</translation>
    </message>
    <message>
        <source>Block %1 is not clean: offset 0x%2, expected 0x%3, actual 0x%4</source>
        <translation>Block %1 ist nicht leer: Offset 0x%2, erwartet 0x%3, gelesen 0x%4</translation>
    </message>
    <message>
        <source>Damaged ECC code found (block %1, page %2, subpage %3)</source>
        <translation>Beschädigter ECC-Code gefunden (Block %1, Seite %2, Teilseite %3)</translation>
    </message>
    <message>
        <source>Correctable error found and fixed (block %1, offset 0x%2, bit %3)</source>
        <translation>Korrigierbarer Fehler gefunden und behoben (Block %1, Offset 0x%2, Bit %3)</translation>
    </message>
    <message>
        <source>Uncorrectable ECC error found (block %1, page %2, subpage %3)</source>
        <translation>Nicht korrigierbarer ECC-Fehler gefunden (Block %1, Seite %2, Teilseite %3)</translation>
    </message>
    <message>
        <source>Specified device not connected</source>
        <translation>Das angegebene Gerät ist nicht angeschlossen</translation>
    </message>
    <message>
        <source>Failed to open USB device &quot;%1&quot;: %2</source>
        <translation>Das USB-Gerät „%1“ konnte nicht geöffnet werden: %2</translation>
    </message>
    <message>
        <source>Device reconnection required</source>
        <translation>Das Gerät muss neu angeschlossen werden</translation>
    </message>
    <message>
        <source>Device has unsupported firmware version.</source>
        <translation>Das Gerät hat eine nicht unterstützte Firmware-Version.</translation>
    </message>
    <message>
        <source>Programmer firmware version: %1</source>
        <translation>Firmware-Version des Programmiergeräts: %1</translation>
    </message>
    <message>
        <source>Supported programmer device is not connected</source>
        <translation>Kein unterstütztes Programmiergerät angeschlossen</translation>
    </message>
    <message>
        <source>Programmer firmware upgrade failed.</source>
        <translation>Die Firmware-Aktualisierung des Programmiergeräts ist fehlgeschlagen.</translation>
    </message>
    <message>
        <source>Programmer failure detected.</source>
        <translation>Fehler im Programmiergerät erkannt.</translation>
    </message>
    <message>
        <source>Please reconnect programmer to computer.</source>
        <translation>Bitte schließen Sie das Programmiergerät erneut an den Computer an.</translation>
    </message>
    <message>
        <source>Programmer firmware upgrade successfully finished.</source>
        <translation>Die Firmware-Aktualisierung des Programmiergeräts wurde erfolgreich abgeschlossen.</translation>
    </message>
    <message>
        <source>Send failed: %1</source>
        <translation>Senden fehlgeschlagen: %1</translation>
    </message>
    <message>
        <source>Receive data failed: %1</source>
        <translation>Datenempfang fehlgeschlagen: %1</translation>
    </message>
    <message>
        <source>Receive timeout</source>
        <translation>Zeitüberschreitung beim Empfang</translation>
    </message>
    <message>
        <source>Device reconnection required!</source>
        <translation>Das Gerät muss neu angeschlossen werden!</translation>
    </message>
    <message>
        <source>Received data CRC check failed</source>
        <translation>CRC-Prüfung der empfangenen Daten fehlgeschlagen</translation>
    </message>
    <message>
        <source>Invalid operation</source>
        <translation>Ungültiger Vorgang</translation>
    </message>
    <message>
        <source>Operation error</source>
        <translation>Vorgangsfehler</translation>
    </message>
    <message>
        <source>Busy signal is not activated</source>
        <translation>Das Busy-Signal wurde nicht aktiviert</translation>
    </message>
    <message>
        <source>Busy signal is in active state more than %1 ms</source>
        <translation>Das Busy-Signal ist länger als %1 ms aktiv</translation>
    </message>
    <message>
        <source>Operation error (code 0x%1)</source>
        <translation>Vorgangsfehler (Code 0x%1)</translation>
    </message>
</context>
</TS>
