<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de">
<context>
    <name>CAboutDlg</name>
    <message>
        <source>Version %1.%2</source>
        <translation>Version %1.%2</translation>
    </message>
    <message>
        <source>About Pixsalvo 3</source>
        <translation>Über Pixsalvo 3</translation>
    </message>
    <message>
        <source>Pixsalvo 3</source>
        <translation>Pixsalvo 3</translation>
    </message>
</context>
<context>
    <name>CBackupCard</name>
    <message>
        <source>Please select the card to back up</source>
        <translation>Bitte wählen Sie die Karte, die gesichert werden soll</translation>
    </message>
    <message>
        <source>Back up card to image</source>
        <translation>Karte in ein Abbild sichern</translation>
    </message>
    <message>
        <source>Card images (*.img);;All files (*)</source>
        <translation>Kartenabbilder (*.img);;Alle Dateien (*)</translation>
    </message>
    <message>
        <source>Backing up the card...</source>
        <translation>Die Karte wird gesichert...</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Back Up Card to Image</source>
        <translation>Karte in Abbild sichern</translation>
    </message>
    <message>
        <source>%1 copied, %2 bad, %3 not tried yet</source>
        <translation>%1 kopiert, %2 unlesbar, %3 noch nicht versucht</translation>
    </message>
    <message>
        <source>The card is backed up to %1: attach it with Attach card image... to recover it</source>
        <translation>Die Karte ist in %1 gesichert: Binden Sie das Abbild mit „Kartenabbild einbinden...“ ein, um daraus wiederherzustellen</translation>
    </message>
    <message>
        <source>%1; the image is %2</source>
        <translation>%1; das Abbild ist %2</translation>
    </message>
    <message>
        <source>The card is backed up to %1.

Attach the image now, to recover the pictures from it instead of from the card?</source>
        <translation>Die Karte ist in %1 gesichert.

Das Abbild jetzt einbinden, um die Bilder daraus statt von der Karte wiederherzustellen?</translation>
    </message>
    <message>
        <source>The image is attached as card %1: recover the pictures from it</source>
        <translation>Das Abbild ist als Karte %1 eingebunden: Stellen Sie die Bilder daraus wieder her</translation>
    </message>
</context>
<context>
    <name>CCylinderProgress</name>
    <message>
        <source>Progress</source>
        <translation>Fortschritt</translation>
    </message>
</context>
<context>
    <name>CDriveDoc</name>
    <message>
        <source>Drive</source>
        <translation>Lw.</translation>
    </message>
    <message>
        <source>Device Type</source>
        <translation>Gerätetyp</translation>
    </message>
    <message>
        <source>Size</source>
        <translation>Größe</translation>
    </message>
    <message>
        <source>Vendor</source>
        <translation>Hersteller</translation>
    </message>
    <message>
        <source>Bus Type</source>
        <translation>Bustyp</translation>
    </message>
    <message>
        <source>Prop</source>
        <translation>Eigenschaft</translation>
    </message>
    <message>
        <source>Value</source>
        <translation>Wert</translation>
    </message>
    <message>
        <source>Card is not selected</source>
        <translation>Keine Karte gewählt</translation>
    </message>
    <message>
        <source>Drive:</source>
        <translation>Laufwerk:</translation>
    </message>
    <message>
        <source>Capacity:</source>
        <translation>Kapazität:</translation>
    </message>
    <message>
        <source>Media:</source>
        <translation>Medium:</translation>
    </message>
    <message>
        <source>Blocks:</source>
        <translation>Blöcke:</translation>
    </message>
    <message>
        <source>Block Size:</source>
        <translation>Blockgröße:</translation>
    </message>
    <message>
        <source>Reader Vendor:</source>
        <translation>Hersteller:</translation>
    </message>
    <message>
        <source>Reader Product:</source>
        <translation>Produkt:</translation>
    </message>
    <message>
        <source>Reader Revision:</source>
        <translation>Revision:</translation>
    </message>
    <message>
        <source>Bus:</source>
        <translation>Bus:</translation>
    </message>
</context>
<context>
    <name>CEmailSupportDlg</name>
    <message>
        <source>Save as text...</source>
        <translation>Als Text speichern...</translation>
    </message>
    <message>
        <source>Email Support</source>
        <translation>E-Mail an den Support</translation>
    </message>
    <message>
        <source>Please supply the following information for Tolvex Media technical support.</source>
        <translation>Bitte geben Sie die folgenden Angaben für den technischen Support von Tolvex Media an.</translation>
    </message>
    <message>
        <source>Computer:</source>
        <translation>Computer:</translation>
    </message>
    <message>
        <source>System Version:</source>
        <translation>Systemversion:</translation>
    </message>
    <message>
        <source>Your email address:</source>
        <translation>Ihre E-Mail-Adresse:</translation>
    </message>
    <message>
        <source>A full description of the problem:</source>
        <translation>Eine vollständige Beschreibung des Problems:</translation>
    </message>
    <message>
        <source>Card Info:</source>
        <translation>Karteninfo:</translation>
    </message>
    <message>
        <source>Send</source>
        <translation>Senden</translation>
    </message>
    <message>
        <source>Send the request to technical support</source>
        <translation>Die Anfrage an den technischen Support senden</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message>
        <source>Save the request as a text file, to send it another way</source>
        <translation>Die Anfrage als Textdatei speichern, um sie auf anderem Weg zu senden</translation>
    </message>
    <message>
        <source>Sending state</source>
        <translation>Sendestatus</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Sending...</source>
        <translation>Wird gesendet...</translation>
    </message>
    <message>
        <source>Not sent: sending was cancelled.</source>
        <translation>Nicht gesendet: Das Senden wurde abgebrochen.</translation>
    </message>
    <message>
        <source>Not sent.</source>
        <translation>Nicht gesendet.</translation>
    </message>
    <message>
        <source>The support request could not be sent.

%1

Your text stays in this form. &quot;Save as text...&quot; keeps the request in a file, so that you can send it another way.</source>
        <translation>Die Support-Anfrage konnte nicht gesendet werden.

%1

Ihr Text bleibt in diesem Formular. „Als Text speichern...“ legt die Anfrage in einer Datei ab, damit Sie sie auf anderem Weg senden können.</translation>
    </message>
    <message>
        <source>EMail Problem</source>
        <translation>E-Mail-Problem</translation>
    </message>
    <message>
        <source>Save the support request</source>
        <translation>Die Support-Anfrage speichern</translation>
    </message>
    <message>
        <source>Text files (*.txt);;All files (*)</source>
        <translation>Textdateien (*.txt);;Alle Dateien (*)</translation>
    </message>
    <message>
        <source>The request could not be saved in %1: %2</source>
        <translation>Die Anfrage konnte nicht in %1 gespeichert werden: %2</translation>
    </message>
    <message>
        <source>Save as text</source>
        <translation>Als Text speichern</translation>
    </message>
    <message>
        <source>Saved in %1</source>
        <translation>Gespeichert in %1</translation>
    </message>
</context>
<context>
    <name>CFrmBurnImages</name>
    <message>
        <source>Restored images total size:</source>
        <translation>Gesamtgröße der Bilder:</translation>
    </message>
    <message>
        <source>Number of files:</source>
        <translation>Anzahl der Dateien:</translation>
    </message>
    <message>
        <source>Restored Images Location:</source>
        <translation>Ort der geretteten Bilder:</translation>
    </message>
    <message>
        <source>&amp;Start</source>
        <translation>&amp;Starten</translation>
    </message>
    <message>
        <source>Write the saved images to a CD</source>
        <translation>Die gespeicherten Bilder auf eine CD schreiben</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Burn a backup copy of your restored images:</source>
        <translation>Sicherungskopie der geretteten Bilder brennen:</translation>
    </message>
    <message>
        <source>Internal error</source>
        <translation>Interner Fehler</translation>
    </message>
    <message>
        <source>Recovery folder does not exist.<byte value="xd"/>
Please contact customer service.</source>
        <translation>Der Wiederherstellungsordner existiert nicht.<byte value="xd"/>
Bitte wenden Sie sich an den Kundendienst.</translation>
    </message>
    <message>
        <source>No files to burn</source>
        <translation>Keine Dateien zum Brennen</translation>
    </message>
    <message>
        <source>The folder is empty.</source>
        <translation>Der Ordner ist leer.</translation>
    </message>
    <message>
        <source>Writing the CD...</source>
        <translation>Die CD wird geschrieben...</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>1 name too long for the disc (at most %1 characters) was shortened on the disc:
</source>
        <translation>1 Name war zu lang für die CD (höchstens %1 Zeichen) und wurde auf der CD gekürzt:
</translation>
    </message>
    <message>
        <source>%1 names too long for the disc (at most %2 characters) were shortened on the disc:
</source>
        <translation>%1 Namen waren zu lang für die CD (höchstens %2 Zeichen) und wurden auf der CD gekürzt:
</translation>
    </message>
    <message>
        <source>
... and %1 more</source>
        <translation>
... und %1 weitere</translation>
    </message>
    <message>
        <source>

The saved files keep their names in %1.</source>
        <translation>

Die gespeicherten Dateien behalten ihre Namen in %1.</translation>
    </message>
    <message>
        <source>Names shortened on the disc</source>
        <translation>Namen auf der CD gekürzt</translation>
    </message>
</context>
<context>
    <name>CFrmCardInfo</name>
    <message>
        <source>Card Information:</source>
        <translation>Karteninformationen:</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Aktualisieren</translation>
    </message>
    <message>
        <source>Print</source>
        <translation>Drucken</translation>
    </message>
    <message>
        <source>Check for Update</source>
        <translation>Updates suchen</translation>
    </message>
    <message>
        <source>Email Tolvex Support</source>
        <translation>E-Mail an Tolvex</translation>
    </message>
    <message>
        <source>View Manual</source>
        <translation>Handbuch</translation>
    </message>
    <message>
        <source>Open Live Support</source>
        <translation>Live-Support</translation>
    </message>
    <message>
        <source>web:</source>
        <translation>Web:</translation>
    </message>
    <message>
        <source>email:</source>
        <translation>E-Mail:</translation>
    </message>
    <message>
        <source>Tolvex Media Support.</source>
        <translation>Tolvex Media Support.</translation>
    </message>
    <message>
        <source>Read the cards again</source>
        <translation>Die Karten neu einlesen</translation>
    </message>
    <message>
        <source>Write the card&apos;s report to a text file and open it</source>
        <translation>Den Bericht der Karte in eine Textdatei schreiben und öffnen</translation>
    </message>
    <message>
        <source>Look for a newer version of the program</source>
        <translation>Nach einer neueren Version des Programms suchen</translation>
    </message>
    <message>
        <source>Send a support request with the card&apos;s report</source>
        <translation>Eine Support-Anfrage mit dem Bericht der Karte senden</translation>
    </message>
    <message>
        <source>Open the manual</source>
        <translation>Das Handbuch öffnen</translation>
    </message>
    <message>
        <source>Open the live support page in the browser</source>
        <translation>Die Live-Support-Seite im Browser öffnen</translation>
    </message>
    <message>
        <source>Please insert card into reader</source>
        <translation>Bitte stecken Sie eine Karte in das Lesegerät</translation>
    </message>
    <message>
        <source>Please select card to view</source>
        <translation>Bitte wählen Sie die Karte, die angezeigt werden soll</translation>
    </message>
    <message>
        <source>Cannot write %1: %2</source>
        <translation>%1 kann nicht geschrieben werden: %2</translation>
    </message>
    <message>
        <source>the card report</source>
        <translation>den Kartenbericht</translation>
    </message>
</context>
<context>
    <name>CFrmFileTypes</name>
    <message>
        <source>Images:</source>
        <translation>Bilder:</translation>
    </message>
    <message>
        <source>Video:</source>
        <translation>Video:</translation>
    </message>
    <message>
        <source>Audio:</source>
        <translation>Audio:</translation>
    </message>
    <message>
        <source>Click to switch the images types on or off</source>
        <translation>Klicken, um die Bildtypen ein- oder auszuschalten</translation>
    </message>
    <message>
        <source>Click to switch the video types on or off</source>
        <translation>Klicken, um die Videotypen ein- oder auszuschalten</translation>
    </message>
    <message>
        <source>Click to switch the audio types on or off</source>
        <translation>Klicken, um die Audiotypen ein- oder auszuschalten</translation>
    </message>
    <message>
        <source>Cameras:</source>
        <translation>Kameras:</translation>
    </message>
    <message>
        <source>Media Types:</source>
        <translation>Dateitypen:</translation>
    </message>
    <message>
        <source>Select all types</source>
        <translation>Alle Typen</translation>
    </message>
    <message>
        <source>What file types are you looking to recover?</source>
        <translation>Welche Dateitypen möchten Sie wiederherstellen?</translation>
    </message>
    <message>
        <source>Check every file type of the selected cameras</source>
        <translation>Alle Dateitypen der gewählten Kameras ankreuzen</translation>
    </message>
    <message>
        <source>Every file type of the selected cameras is checked</source>
        <translation>Alle Dateitypen der gewählten Kameras sind angekreuzt</translation>
    </message>
    <message>
        <source>Select file type(s)</source>
        <translation>Dateityp(en) wählen</translation>
    </message>
    <message>
        <source>Please select a media file type for recovery</source>
        <translation>Bitte wählen Sie einen Dateityp für die Wiederherstellung</translation>
    </message>
    <message>
        <source>Select camera</source>
        <translation>Kamera wählen</translation>
    </message>
    <message>
        <source>Please select a camera type</source>
        <translation>Bitte wählen Sie einen Kameratyp</translation>
    </message>
</context>
<context>
    <name>CFrmFindImages</name>
    <message>
        <source>Images Found:</source>
        <translation>Gefundene Bilder:</translation>
    </message>
    <message>
        <source>Show Preview</source>
        <translation>Vorschau</translation>
    </message>
    <message>
        <source>&amp;Start</source>
        <translation>&amp;Starten</translation>
    </message>
    <message>
        <source>Scan the card for pictures, movies and sounds</source>
        <translation>Die Karte nach Bildern, Filmen und Tonaufnahmen durchsuchen</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Scan your memory card for recoverable images:</source>
        <translation>Durchsuchen Sie die Karte nach rettbaren Bildern:</translation>
    </message>
    <message>
        <source>Stop the scan; the files found so far are kept</source>
        <translation>Die Suche anhalten; die bisher gefundenen Dateien bleiben erhalten</translation>
    </message>
    <message>
        <source>Scanning...</source>
        <translation>Suche läuft...</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>Scanning required</source>
        <translation>Suche erforderlich</translation>
    </message>
    <message>
        <source>Please scan images before proceeding to next step</source>
        <translation>Bitte suchen Sie zuerst nach Bildern, bevor Sie zum nächsten Schritt gehen</translation>
    </message>
</context>
<context>
    <name>CFrmPreviewImages</name>
    <message>
        <source>Keep All</source>
        <translation>Alle</translation>
    </message>
    <message>
        <source>Keep None</source>
        <translation>Keine</translation>
    </message>
    <message>
        <source>Selected</source>
        <translation>Ausgewählt</translation>
    </message>
    <message>
        <source>Choose images to save:</source>
        <translation>Bilder auswählen:</translation>
    </message>
    <message>
        <source>Mark every file to be saved</source>
        <translation>Alle Dateien zum Speichern markieren</translation>
    </message>
    <message>
        <source>Clear every keep mark</source>
        <translation>Alle Markierungen entfernen</translation>
    </message>
    <message>
        <source>Selected: %1 items, %2</source>
        <translation>Ausgewählt: %1 Dateien, %2</translation>
    </message>
    <message>
        <source>No program could open %1. The file is in %2</source>
        <translation>Kein Programm konnte %1 öffnen. Die Datei liegt in %2</translation>
    </message>
    <message>
        <source>Select file(s)</source>
        <translation>Datei(en) wählen</translation>
    </message>
    <message>
        <source>No files have been selected to save</source>
        <translation>Es wurden keine Dateien zum Speichern gewählt</translation>
    </message>
    <message>
        <source>No files found</source>
        <translation>Keine Dateien gefunden</translation>
    </message>
    <message>
        <source>Media does not contain recognized file types</source>
        <translation>Der Datenträger enthält keine erkannten Dateitypen</translation>
    </message>
</context>
<context>
    <name>CFrmRoot</name>
    <message>
        <source>No program on this desktop opens %1. You find it here:
%2</source>
        <translation>Kein Programm dieses Desktops öffnet %1. Sie finden die Datei hier:
%2</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Öffnen</translation>
    </message>
    <message>
        <source>Message</source>
        <translation>Meldung</translation>
    </message>
    <message>
        <source>Confirmation</source>
        <translation>Bestätigung</translation>
    </message>
    <message>
        <source>Insert card</source>
        <translation>Karte einstecken</translation>
    </message>
    <message>
        <source>Select card</source>
        <translation>Karte wählen</translation>
    </message>
    <message>
        <source>Progress text</source>
        <translation>Fortschrittstext</translation>
    </message>
    <message>
        <source>Not selected</source>
        <translation>Nicht gewählt</translation>
    </message>
    <message>
        <source>Removable</source>
        <translation>Wechseldatenträger</translation>
    </message>
    <message>
        <source>Please insert a memory card into a reader</source>
        <translation>Bitte stecken Sie eine Speicherkarte in ein Lesegerät</translation>
    </message>
    <message>
        <source>Please select a memory card from the list</source>
        <translation>Bitte wählen Sie eine Speicherkarte aus der Liste</translation>
    </message>
</context>
<context>
    <name>CFrmSaveImages</name>
    <message>
        <source>Select the location where you wish to save:</source>
        <translation>Wählen Sie den Ort, an dem gespeichert werden soll:</translation>
    </message>
    <message>
        <source>Click here to open the folder</source>
        <translation>Hier klicken, um den Ordner zu öffnen</translation>
    </message>
    <message>
        <source>Select</source>
        <translation>Wählen</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Öffnen</translation>
    </message>
    <message>
        <source>Enter a prefix for recovered file names:</source>
        <translation>Präfix für die Namen der geretteten Dateien:</translation>
    </message>
    <message>
        <source>Keep the camera&apos;s file names</source>
        <translation>Namen der Kamera behalten</translation>
    </message>
    <message>
        <source>Total Images:</source>
        <translation>Bilder insgesamt:</translation>
    </message>
    <message>
        <source>Total Size:</source>
        <translation>Gesamtgröße:</translation>
    </message>
    <message>
        <source>Free Space:</source>
        <translation>Freier Platz:</translation>
    </message>
    <message>
        <source>&amp;Save</source>
        <translation>&amp;Speichern</translation>
    </message>
    <message>
        <source>Save the files marked to keep</source>
        <translation>Die zum Behalten markierten Dateien speichern</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Save restored images:</source>
        <translation>Gerettete Bilder speichern:</translation>
    </message>
    <message>
        <source>Destination folder</source>
        <translation>Zielordner</translation>
    </message>
    <message>
        <source>Choose the folder the files are saved in</source>
        <translation>Den Ordner wählen, in dem die Dateien gespeichert werden</translation>
    </message>
    <message>
        <source>Open the folder in the file manager</source>
        <translation>Den Ordner in der Dateiverwaltung öffnen</translation>
    </message>
    <message>
        <source>Save each file under the name it had on the camera&apos;s card, where the card still knows it;
the prefix names the others</source>
        <translation>Jede Datei unter dem Namen speichern, den sie auf der Karte der Kamera hatte, sofern die Karte ihn noch kennt;
die übrigen erhalten das Präfix</translation>
    </message>
    <message>
        <source>Illegal destination</source>
        <translation>Ungültiges Ziel</translation>
    </message>
    <message>
        <source>Destination folder is illegal, please select correct destination folder.</source>
        <translation>Der Zielordner ist ungültig, bitte wählen Sie einen gültigen Zielordner.</translation>
    </message>
    <message>
        <source>Internal error</source>
        <translation>Interner Fehler</translation>
    </message>
    <message>
        <source>Recovery folder does not exist.<byte value="xd"/>
Please contact customer service.</source>
        <translation>Der Wiederherstellungsordner existiert nicht.<byte value="xd"/>
Bitte wenden Sie sich an den Kundendienst.</translation>
    </message>
    <message>
        <source>Entry required</source>
        <translation>Eingabe erforderlich</translation>
    </message>
    <message>
        <source>Destination folder does not exists.<byte value="xd"/>
Please select destination folder.</source>
        <translation>Der Zielordner existiert nicht.<byte value="xd"/>
Bitte wählen Sie einen Zielordner.</translation>
    </message>
    <message>
        <source>File prefix must be entered.</source>
        <translation>Ein Dateipräfix muss eingegeben werden.</translation>
    </message>
    <message>
        <source>File prefix is too long.</source>
        <translation>Das Dateipräfix ist zu lang.</translation>
    </message>
    <message>
        <source>Wrong entry</source>
        <translation>Falsche Eingabe</translation>
    </message>
    <message>
        <source>The character &apos;%1&apos; is not allowed in the file name prefix.</source>
        <translation>Das Zeichen „%1“ ist im Präfix der Dateinamen nicht erlaubt.</translation>
    </message>
    <message>
        <source>Data previously saved</source>
        <translation>Bereits gespeichert</translation>
    </message>
    <message>
        <source>There are no new files to save.</source>
        <translation>Es gibt keine neuen Dateien zum Speichern.</translation>
    </message>
    <message>
        <source>The files cannot be written into %1.<byte value="xd"/>
Please select another destination folder.</source>
        <translation>Die Dateien können nicht in %1 geschrieben werden.<byte value="xd"/>
Bitte wählen Sie einen anderen Zielordner.</translation>
    </message>
    <message>
        <source>Saving...</source>
        <translation>Wird gespeichert...</translation>
    </message>
    <message>
        <source>View saved images</source>
        <translation>Gespeicherte Bilder ansehen</translation>
    </message>
    <message>
        <source>All selected images have been saved.<byte value="xd"/>
Click open button to view saved images.<byte value="xd"/>
<byte value="xd"/>
Exit application if finished or proceed to next step to burn a CD<byte value="xd"/>
<byte value="xd"/>
Saved in: %1</source>
        <translation>Alle gewählten Bilder wurden gespeichert.<byte value="xd"/>
„Öffnen“ zeigt die gespeicherten Bilder.<byte value="xd"/>
<byte value="xd"/>
Beenden Sie das Programm oder brennen Sie im nächsten Schritt eine CD<byte value="xd"/>
<byte value="xd"/>
Gespeichert in: %1</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>Save images</source>
        <translation>Bilder speichern</translation>
    </message>
    <message>
        <source>Please save images before proceeding to next step</source>
        <translation>Bitte speichern Sie die Bilder, bevor Sie zum nächsten Schritt gehen</translation>
    </message>
    <message>
        <source>Select the location where you wish to save</source>
        <translation>Wählen Sie den Ort, an dem gespeichert werden soll</translation>
    </message>
    <message>
        <source>New destination folder selected</source>
        <translation>Neuer Zielordner gewählt</translation>
    </message>
</context>
<context>
    <name>CFrmSelectCard</name>
    <message>
        <source>Cards</source>
        <translation>Karten</translation>
    </message>
    <message>
        <source>Select the memory card you need to recover:</source>
        <translation>Wählen Sie die Speicherkarte mit Ihren Bildern:</translation>
    </message>
    <message>
        <source>The card in drive %1 is selected</source>
        <translation>Die Karte in Laufwerk %1 ist gewählt</translation>
    </message>
    <message>
        <source>The card is not selected</source>
        <translation>Die Karte ist nicht gewählt</translation>
    </message>
</context>
<context>
    <name>CFrmToolCardTest</name>
    <message>
        <source>Identify potential memory card problems.</source>
        <translation>Mögliche Probleme der Speicherkarte erkennen.</translation>
    </message>
    <message>
        <source>Also test the card&apos;s real capacity (erases the card)</source>
        <translation>Auch die echte Kapazität der Karte prüfen (löscht die Karte)</translation>
    </message>
    <message>
        <source>Writes every block and reads it back: finds fake cards that hold less than they claim</source>
        <translation>Schreibt jeden Block und liest ihn zurück: erkennt gefälschte Karten, die weniger fassen als angegeben</translation>
    </message>
    <message>
        <source>Bytes Verified:</source>
        <translation>Geprüfte Bytes:</translation>
    </message>
    <message>
        <source>Read Errors:</source>
        <translation>Lesefehler:</translation>
    </message>
    <message>
        <source>Boot Block:</source>
        <translation>Bootblock:</translation>
    </message>
    <message>
        <source>FAT Clusters:</source>
        <translation>FAT-Cluster:</translation>
    </message>
    <message>
        <source>Directory:</source>
        <translation>Verzeichnis:</translation>
    </message>
    <message>
        <source>Fragmentation:</source>
        <translation>Fragmentierung:</translation>
    </message>
    <message>
        <source>N/A</source>
        <translation>k. A.</translation>
    </message>
    <message>
        <source>Testing...</source>
        <translation>Wird geprüft...</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>FAIL</source>
        <translation>FEHLER</translation>
    </message>
    <message>
        <source>OK (%1)</source>
        <translation>OK (%1)</translation>
    </message>
    <message>
        <source>%1 recovered files are not saved yet: save them (Save Images) before the capacity test erases the card</source>
        <translation>%1 gerettete Dateien sind noch nicht gespeichert: Speichern Sie sie (Bilder speichern), bevor die Kapazitätsprüfung die Karte löscht</translation>
    </message>
    <message>
        <source>Testing the card&apos;s real capacity...</source>
        <translation>Die echte Kapazität der Karte wird geprüft...</translation>
    </message>
    <message>
        <source>The card is %1 (write %2 MB/s, read %3 MB/s)</source>
        <translation>Die Karte ist %1 (Schreiben %2 MB/s, Lesen %3 MB/s)</translation>
    </message>
</context>
<context>
    <name>CFrmToolFormat</name>
    <message>
        <source>Format your memory card.</source>
        <translation>Ihre Speicherkarte formatieren.</translation>
    </message>
    <message>
        <source>Writes a new FAT file system in the layout cameras expect. Every picture on the card is lost: recover and save them first. The card is ejected when the format is done.</source>
        <translation>Schreibt ein neues FAT-Dateisystem im Aufbau, den Kameras erwarten. Alle Bilder auf der Karte gehen verloren: Retten und speichern Sie sie zuerst. Nach dem Formatieren wird die Karte ausgeworfen.</translation>
    </message>
    <message>
        <source>Formatting...</source>
        <translation>Wird formatiert...</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>All data on the card will be erased!
Do you want to continue?</source>
        <translation>Alle Daten auf der Karte werden gelöscht!
Möchten Sie fortfahren?</translation>
    </message>
    <message>
        <source>The card successfully formatted.
The device has been logically ejected, remove card from reader and re-insert to verify.</source>
        <translation>Die Karte wurde erfolgreich formatiert.
Das Gerät wurde logisch ausgeworfen. Nehmen Sie die Karte aus dem Lesegerät und stecken Sie sie zur Prüfung wieder ein.</translation>
    </message>
</context>
<context>
    <name>CFrmToolPage</name>
    <message>
        <source>Start the test of the selected card</source>
        <translation>Die Prüfung der gewählten Karte starten</translation>
    </message>
    <message>
        <source>Please insert card to test</source>
        <translation>Bitte stecken Sie die zu prüfende Karte ein</translation>
    </message>
    <message>
        <source>Please select card to test</source>
        <translation>Bitte wählen Sie die zu prüfende Karte</translation>
    </message>
    <message>
        <source>Start the format of the selected card</source>
        <translation>Das Formatieren der gewählten Karte starten</translation>
    </message>
    <message>
        <source>Please insert card to format</source>
        <translation>Bitte stecken Sie die zu formatierende Karte ein</translation>
    </message>
    <message>
        <source>Please select card to format</source>
        <translation>Bitte wählen Sie die zu formatierende Karte</translation>
    </message>
    <message>
        <source>Start the erase of the selected card</source>
        <translation>Das Löschen der gewählten Karte starten</translation>
    </message>
    <message>
        <source>Please insert card to erase</source>
        <translation>Bitte stecken Sie die zu löschende Karte ein</translation>
    </message>
    <message>
        <source>Please select card to erase</source>
        <translation>Bitte wählen Sie die zu löschende Karte</translation>
    </message>
    <message>
        <source>&amp;Start</source>
        <translation>&amp;Starten</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Eject Card</source>
        <translation>Auswerfen</translation>
    </message>
    <message>
        <source>Eject the selected card from its reader</source>
        <translation>Die gewählte Karte aus ihrem Lesegerät auswerfen</translation>
    </message>
    <message>
        <source>Finished</source>
        <translation>Fertig</translation>
    </message>
    <message>
        <source>The job failed</source>
        <translation>Der Vorgang ist fehlgeschlagen</translation>
    </message>
</context>
<context>
    <name>CFrmToolWipe</name>
    <message>
        <source>Secure erase your memory card.</source>
        <translation>Ihre Speicherkarte sicher löschen.</translation>
    </message>
    <message>
        <source>Overwrites every block of the card with zeros, so that nothing on it can be recovered any more. Format the card afterwards to use it in a camera.</source>
        <translation>Überschreibt jeden Block der Karte mit Nullen, sodass nichts darauf mehr gerettet werden kann. Formatieren Sie die Karte danach, um sie in einer Kamera zu verwenden.</translation>
    </message>
    <message>
        <source>Erasing...</source>
        <translation>Wird gelöscht...</translation>
    </message>
    <message>
        <source>All data on the card will be permanently erased!
 Do you want to continue?</source>
        <translation>Alle Daten auf der Karte werden endgültig gelöscht!
 Möchten Sie fortfahren?</translation>
    </message>
</context>
<context>
    <name>CMenuPanel</name>
    <message>
        <source>Steps</source>
        <translation>Schritte</translation>
    </message>
</context>
<context>
    <name>CPX3AApp</name>
    <message>
        <source>The Pixsalvo 3 is already running</source>
        <translation>Pixsalvo 3 läuft bereits</translation>
    </message>
    <message>
        <source>Error:<byte value="xd"/>
One or more application files are missing.<byte value="xd"/>
Please, reinstall application</source>
        <translation>Fehler:<byte value="xd"/>
Eine oder mehrere Programmdateien fehlen.<byte value="xd"/>
Bitte installieren Sie das Programm neu</translation>
    </message>
    <message>
        <source>Pixsalvo 3</source>
        <translation>Pixsalvo 3</translation>
    </message>
    <message>
        <source>the reason is unknown</source>
        <translation>der Grund ist unbekannt</translation>
    </message>
    <message>
        <source>Pixsalvo 3 cannot start: the lock file %1 cannot be created (%2)</source>
        <translation>Pixsalvo 3 kann nicht starten: Die Sperrdatei %1 kann nicht angelegt werden (%2)</translation>
    </message>
</context>
<context>
    <name>CPX3StatusLine</name>
    <message>
        <source>Status</source>
        <translation>Status</translation>
    </message>
</context>
<context>
    <name>CPX3UpdateDlg</name>
    <message>
        <source>The software is up to date, no software update was found.</source>
        <translation>Die Software ist aktuell, es wurde kein Software-Update gefunden.</translation>
    </message>
    <message>
        <source>Pixsalvo 3 could not check for a software update</source>
        <translation>Pixsalvo 3 konnte nicht nach einem Software-Update suchen</translation>
    </message>
    <message>
        <source>Software Update</source>
        <translation>Software-Update</translation>
    </message>
    <message>
        <source>Update Information:</source>
        <translation>Informationen zum Update:</translation>
    </message>
    <message>
        <source>License:</source>
        <translation>Lizenz:</translation>
    </message>
    <message>
        <source>I agree with  license terms and conditions</source>
        <translation>Ich stimme den Lizenzbedingungen zu</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Update</translation>
    </message>
    <message>
        <source>Download and install the new software update</source>
        <translation>Das neue Software-Update herunterladen und installieren</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message>
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>Checking for updates...</source>
        <translation>Suche nach Updates...</translation>
    </message>
    <message>
        <source>Checking with Tolvex Media, Inc. for software update</source>
        <translation>Bei Tolvex Media, Inc. wird nach einem Software-Update gesucht</translation>
    </message>
    <message>
        <source>Pixsalvo 3 has detected that a new software update is available</source>
        <translation>Pixsalvo 3 hat ein neues Software-Update gefunden</translation>
    </message>
    <message>
        <source>Please review information below and click the Update button to install.</source>
        <translation>Bitte lesen Sie die folgenden Informationen und klicken Sie zum Installieren auf „Update“.</translation>
    </message>
    <message>
        <source>Please review license agreement</source>
        <translation>Bitte lesen Sie die Lizenzvereinbarung</translation>
    </message>
    <message>
        <source>Check this box after reading license agreement</source>
        <translation>Kreuzen Sie dieses Feld an, nachdem Sie die Lizenzvereinbarung gelesen haben</translation>
    </message>
    <message>
        <source>Downloading updates...</source>
        <translation>Updates werden heruntergeladen...</translation>
    </message>
    <message>
        <source>Ftp Error: Aborted by user</source>
        <translation>FTP-Fehler: Vom Benutzer abgebrochen</translation>
    </message>
    <message>
        <source>Ready to update...</source>
        <translation>Bereit zum Aktualisieren...</translation>
    </message>
</context>
<context>
    <name>CPXMainDlg</name>
    <message>
        <source>Files not saved</source>
        <translation>Dateien nicht gespeichert</translation>
    </message>
    <message>
        <source>Pixsalvo 3</source>
        <translation>Pixsalvo 3</translation>
    </message>
    <message>
        <source>&amp;Continue</source>
        <translation>&amp;Weiter</translation>
    </message>
    <message>
        <source>Go to the next step</source>
        <translation>Zum nächsten Schritt</translation>
    </message>
    <message>
        <source>Go &amp;Back</source>
        <translation>&amp;Zurück</translation>
    </message>
    <message>
        <source>Go to the previous step</source>
        <translation>Zum vorigen Schritt</translation>
    </message>
    <message>
        <source>S&amp;upport</source>
        <translation>S&amp;upport</translation>
    </message>
    <message>
        <source>Go to the Support page</source>
        <translation>Zur Support-Seite</translation>
    </message>
    <message>
        <source>Menu</source>
        <translation>Menü</translation>
    </message>
    <message>
        <source>Help, card images, updates, About and Quit</source>
        <translation>Hilfe, Kartenabbilder, Updates, Über und Beenden</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>Attach card image...</source>
        <translation>Kartenabbild einbinden...</translation>
    </message>
    <message>
        <source>Back Up Card to Image...</source>
        <translation>Karte in Abbild sichern...</translation>
    </message>
    <message>
        <source>&amp;Check for Update...</source>
        <translation>&amp;Nach Updates suchen...</translation>
    </message>
    <message>
        <source>&amp;About Pixsalvo 3...</source>
        <translation>&amp;Über Pixsalvo 3...</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>the manual</source>
        <translation>das Handbuch</translation>
    </message>
    <message>
        <source>Attach card image</source>
        <translation>Kartenabbild einbinden</translation>
    </message>
    <message>
        <source>Card images (*.img *.bin *.dd);;All files (*)</source>
        <translation>Kartenabbilder (*.img *.bin *.dd);;Alle Dateien (*)</translation>
    </message>
    <message>
        <source>Save first</source>
        <translation>Erst speichern</translation>
    </message>
    <message>
        <source>Quit anyway</source>
        <translation>Trotzdem beenden</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>1 recovered file (%1) is not saved yet</source>
        <translation>1 gerettete Datei (%1) ist noch nicht gespeichert</translation>
    </message>
    <message>
        <source>%1 recovered files (%2) are not saved yet</source>
        <translation>%1 gerettete Dateien (%2) sind noch nicht gespeichert</translation>
    </message>
    <message>
        <source>; %1 of them is marked to keep</source>
        <translation>; %1 davon ist zum Behalten markiert</translation>
    </message>
    <message>
        <source>; %1 of them are marked to keep</source>
        <translation>; %1 davon sind zum Behalten markiert</translation>
    </message>
    <message>
        <source>.

Quitting now deletes them. If the card is failing, they may be the only copy left.</source>
        <translation>.

Wenn Sie jetzt beenden, werden sie gelöscht. Falls die Karte defekt ist, sind sie vielleicht die einzige verbliebene Kopie.</translation>
    </message>
</context>
<context>
    <name>CSplashDlg</name>
    <message>
        <source>Pixsalvo 3</source>
        <translation>Pixsalvo 3</translation>
    </message>
</context>
<context>
    <name>CThumbViewer</name>
    <message>
        <source>File</source>
        <translation>Datei</translation>
    </message>
    <message>
        <source>%1 picture</source>
        <translation>%1-Bild</translation>
    </message>
    <message>
        <source>%1 camera raw picture</source>
        <translation>%1-Rohdatenbild</translation>
    </message>
    <message>
        <source>%1 movie</source>
        <translation>%1-Film</translation>
    </message>
    <message>
        <source>%1 sound</source>
        <translation>%1-Tonaufnahme</translation>
    </message>
    <message>
        <source>%1 file</source>
        <translation>%1-Datei</translation>
    </message>
    <message>
        <source>Keep or leave this file</source>
        <translation>Diese Datei behalten oder nicht</translation>
    </message>
    <message>
        <source>Open this file</source>
        <translation>Diese Datei öffnen</translation>
    </message>
    <message>
        <source>Thumbnails</source>
        <translation>Miniaturen</translation>
    </message>
</context>
<context>
    <name>CTopListBarDlg</name>
    <message>
        <source>Cards</source>
        <translation>Karten</translation>
    </message>
    <message>
        <source>Card columns</source>
        <translation>Spalten der Karten</translation>
    </message>
</context>
<context>
    <name>CTopTitleBar</name>
    <message>
        <source>Step</source>
        <translation>Schritt</translation>
    </message>
</context>
<context>
    <name>CoreText</name>
    <message>
        <source>Canceled by user</source>
        <translation>Vom Benutzer abgebrochen</translation>
    </message>
    <message>
        <source>Aborted by user</source>
        <translation>Vom Benutzer abgebrochen</translation>
    </message>
    <message>
        <source>Canceled by user: nothing was written</source>
        <translation>Vom Benutzer abgebrochen: Es wurde nichts geschrieben</translation>
    </message>
    <message>
        <source>Canceled by user: the card was overwritten in part; what it held is gone</source>
        <translation>Vom Benutzer abgebrochen: Die Karte wurde teilweise überschrieben, ihr bisheriger Inhalt ist verloren</translation>
    </message>
    <message>
        <source>Canceled by user: the new file system was written whole; the card was not ejected</source>
        <translation>Vom Benutzer abgebrochen: Das neue Dateisystem wurde vollständig geschrieben, die Karte wurde nicht ausgeworfen</translation>
    </message>
    <message>
        <source>Unknown error</source>
        <translation>Unbekannter Fehler</translation>
    </message>
    <message>
        <source>Drive is not selected</source>
        <translation>Es ist kein Laufwerk ausgewählt</translation>
    </message>
    <message>
        <source>Removable Disk</source>
        <translation>Wechseldatenträger</translation>
    </message>
    <message>
        <source>Removable</source>
        <translation>Wechselmedium</translation>
    </message>
    <message>
        <source>Fixed hard disk</source>
        <translation>Festplatte</translation>
    </message>
    <message>
        <source>The card was taken out of the reader</source>
        <translation>Die Karte wurde aus dem Kartenleser genommen</translation>
    </message>
    <message>
        <source>The card in the reader was changed during the run</source>
        <translation>Die Karte im Kartenleser wurde während des Vorgangs gewechselt</translation>
    </message>
    <message>
        <source>1 block of the card could not be read</source>
        <translation>1 Block der Karte konnte nicht gelesen werden</translation>
    </message>
    <message>
        <source>%1 blocks of the card could not be read</source>
        <translation>%1 Blöcke der Karte konnten nicht gelesen werden</translation>
    </message>
    <message>
        <source>The card reader or the card went away (%1)</source>
        <translation>Der Kartenleser oder die Karte ist nicht mehr erreichbar (%1)</translation>
    </message>
    <message>
        <source>The card is not ready: %1</source>
        <translation>Die Karte ist nicht bereit: %1</translation>
    </message>
    <message>
        <source>The card is smaller than when the run started (block %1 is past its end)</source>
        <translation>Die Karte ist kleiner als zu Beginn des Vorgangs (Block %1 liegt hinter ihrem Ende)</translation>
    </message>
    <message>
        <source>The device at %1: is not the card reader that was selected; please select the card again</source>
        <translation>Das Gerät an %1: ist nicht der ausgewählte Kartenleser; bitte wählen Sie die Karte erneut aus</translation>
    </message>
    <message>
        <source>The card reports %1 bytes per block; only cards of 512-byte blocks can be used</source>
        <translation>Die Karte meldet %1 Bytes pro Block; nur Karten mit Blöcken zu 512 Bytes können verwendet werden</translation>
    </message>
    <message>
        <source>Invalid drive parameters</source>
        <translation>Ungültige Laufwerksparameter</translation>
    </message>
    <message>
        <source>The card is too small for a FAT file system</source>
        <translation>Die Karte ist zu klein für ein FAT-Dateisystem</translation>
    </message>
    <message>
        <source>The volume is too small for FAT32</source>
        <translation>Das Volume ist zu klein für FAT32</translation>
    </message>
    <message>
        <source>Cards with %1-byte sectors cannot be formatted</source>
        <translation>Karten mit Sektoren zu %1 Bytes können nicht formatiert werden</translation>
    </message>
    <message>
        <source>The card was formatted but could not be ejected: %1</source>
        <translation>Die Karte wurde formatiert, konnte aber nicht ausgeworfen werden: %1</translation>
    </message>
    <message>
        <source>good: all %1 hold what was written</source>
        <translation>in Ordnung: alle %1 enthalten, was geschrieben wurde</translation>
    </message>
    <message>
        <source>fake: usable %1 of %2</source>
        <translation>gefälscht: nutzbar sind %1 von %2</translation>
    </message>
    <message>
        <source>failing: 1 block does not hold what was written, the first is block %1</source>
        <translation>fehlerhaft: 1 Block enthält nicht, was geschrieben wurde, es ist Block %1</translation>
    </message>
    <message>
        <source>failing: %1 blocks do not hold what was written, the first is block %2</source>
        <translation>fehlerhaft: %1 Blöcke enthalten nicht, was geschrieben wurde, der erste ist Block %2</translation>
    </message>
    <message>
        <source>No save folder is chosen</source>
        <translation>Es ist kein Speicherordner gewählt</translation>
    </message>
    <message>
        <source>Copy file error</source>
        <translation>Fehler beim Kopieren einer Datei</translation>
    </message>
    <message>
        <source>Copy file error ==&gt; %1</source>
        <translation>Fehler beim Kopieren einer Datei ==&gt; %1</translation>
    </message>
    <message>
        <source>Cannot write %1: %2</source>
        <translation>%1 kann nicht geschrieben werden: %2</translation>
    </message>
    <message>
        <source>Cannot create the run folder %1: %2</source>
        <translation>Der Arbeitsordner %1 kann nicht angelegt werden: %2</translation>
    </message>
    <message>
        <source>Cannot create the run folder %1</source>
        <translation>Der Arbeitsordner %1 kann nicht angelegt werden</translation>
    </message>
    <message>
        <source>Cannot create the folder %1: %2</source>
        <translation>Der Ordner %1 kann nicht angelegt werden: %2</translation>
    </message>
    <message>
        <source>Cannot create %1: %2</source>
        <translation>%1 kann nicht angelegt werden: %2</translation>
    </message>
    <message>
        <source>Cannot rename %1 to %2: %3</source>
        <translation>%1 kann nicht in %2 umbenannt werden: %3</translation>
    </message>
    <message>
        <source>No free folder name for %1 in %2</source>
        <translation>Kein freier Ordnername für %1 in %2</translation>
    </message>
    <message>
        <source>%1; the files not copied are still in %2</source>
        <translation>%1; die nicht kopierten Dateien liegen weiterhin in %2</translation>
    </message>
    <message>
        <source>%1; the files not moved are still in %2</source>
        <translation>%1; die nicht verschobenen Dateien liegen weiterhin in %2</translation>
    </message>
    <message>
        <source>Cannot open the image %1: %2</source>
        <translation>Das Abbild %1 kann nicht geöffnet werden: %2</translation>
    </message>
    <message>
        <source>The image %1 is being written by another backup</source>
        <translation>Das Abbild %1 wird gerade von einer anderen Sicherung geschrieben</translation>
    </message>
    <message>
        <source>%1; the map %2 says what is copied: run the same backup again to go on</source>
        <translation>%1; die Übersichtsdatei %2 verzeichnet, was bereits kopiert ist: Starten Sie dieselbe Sicherung erneut, um fortzufahren</translation>
    </message>
    <message>
        <source>%1; nothing was read from the card</source>
        <translation>%1; von der Karte wurde nichts gelesen</translation>
    </message>
    <message>
        <source>The recordable drive is missing</source>
        <translation>Kein Brenner gefunden</translation>
    </message>
    <message>
        <source>The user&apos;s cache folder is unknown</source>
        <translation>Der Cache-Ordner des Benutzers ist unbekannt</translation>
    </message>
    <message>
        <source>Aborted by user (xorriso was stopped; a disc it had begun to write may be unusable)</source>
        <translation>Vom Benutzer abgebrochen (xorriso wurde gestoppt; eine begonnene Disc ist möglicherweise unbrauchbar)</translation>
    </message>
    <message>
        <source>The burn drive %1 cannot be found: %2</source>
        <translation>Der Brenner %1 wurde nicht gefunden: %2</translation>
    </message>
    <message>
        <source>The burn drive %1 is not a device</source>
        <translation>Der Brenner %1 ist kein Gerät</translation>
    </message>
    <message>
        <source>The CD was not written: xorriso %1</source>
        <translation>Die CD wurde nicht geschrieben: xorriso %1</translation>
    </message>
    <message>
        <source>No update was found to download</source>
        <translation>Es wurde kein Update zum Herunterladen gefunden</translation>
    </message>
    <message>
        <source>No verified installer was downloaded</source>
        <translation>Es wurde kein geprüftes Installationsprogramm heruntergeladen</translation>
    </message>
    <message>
        <source>The installer is not signed by Tolvex Media: its signature does not match</source>
        <translation>Das Installationsprogramm ist nicht von Tolvex Media signiert: Seine Signatur stimmt nicht überein</translation>
    </message>
    <message>
        <source>The signature of the installer cannot be checked: the cryptography library does not start</source>
        <translation>Die Signatur des Installationsprogramms kann nicht geprüft werden: Die Kryptografie-Bibliothek startet nicht</translation>
    </message>
    <message>
        <source>The downloaded installer does not match its SHA-256 checksum: %1</source>
        <translation>Das heruntergeladene Installationsprogramm passt nicht zu seiner SHA-256-Prüfsumme: %1</translation>
    </message>
    <message>
        <source>Unable to start the installer: %1</source>
        <translation>Das Installationsprogramm kann nicht gestartet werden: %1</translation>
    </message>
    <message>
        <source>Ftp Error: Aborted by user</source>
        <translation>FTP-Fehler: Vom Benutzer abgebrochen</translation>
    </message>
    <message>
        <source>Ftp Error: Unable to get ftp connection</source>
        <translation>FTP-Fehler: Keine FTP-Verbindung möglich</translation>
    </message>
    <message>
        <source>Ftp Error: Unable to get ftp connection (%1)</source>
        <translation>FTP-Fehler: Keine FTP-Verbindung möglich (%1)</translation>
    </message>
    <message>
        <source>Ftp Error: Ftp is not connected</source>
        <translation>FTP-Fehler: FTP ist nicht verbunden</translation>
    </message>
    <message>
        <source>Ftp Error: Unable to find remote Ftp file: %1</source>
        <translation>FTP-Fehler: Datei auf dem FTP-Server nicht gefunden: %1</translation>
    </message>
    <message>
        <source>Ftp Error: Unable to open remote Ftp file: %1</source>
        <translation>FTP-Fehler: Datei auf dem FTP-Server kann nicht geöffnet werden: %1</translation>
    </message>
    <message>
        <source>No mail program (sendmail) is installed (looked for on the PATH)</source>
        <translation>Es ist kein Mailprogramm (sendmail) installiert (im PATH gesucht)</translation>
    </message>
    <message>
        <source>No mail program (sendmail) is installed (looked for on the PATH and at %1)</source>
        <translation>Es ist kein Mailprogramm (sendmail) installiert (im PATH und unter %1 gesucht)</translation>
    </message>
    <message>
        <source>&quot;%1&quot; is not a mail address that can be written to</source>
        <translation>„%1“ ist keine Mailadresse, an die geschrieben werden kann</translation>
    </message>
    <message>
        <source>%1 cannot be run</source>
        <translation>%1 kann nicht ausgeführt werden</translation>
    </message>
    <message>
        <source>%1 ended with exit status %2</source>
        <translation>%1 endete mit dem Exit-Status %2</translation>
    </message>
    <message>
        <source>%1 ended abnormally (killed by a signal)</source>
        <translation>%1 endete unerwartet (durch ein Signal beendet)</translation>
    </message>
    <message>
        <source>%1 could not be started (%2)</source>
        <translation>%1 konnte nicht gestartet werden (%2)</translation>
    </message>
    <message>
        <source>%1 Seconds Remaining</source>
        <translation>noch %1 Sek.</translation>
    </message>
    <message>
        <source>%1 Minute %2 Seconds Remaining</source>
        <translation>noch %1 Min. %2 Sek.</translation>
    </message>
    <message>
        <source>%1 Minutes %2 Seconds Remaining</source>
        <translation>noch %1 Min. %2 Sek.</translation>
    </message>
    <message>
        <source>%1 Hour %2 Minute %3 Seconds Remaining</source>
        <translation>noch %1 Std. %2 Min. %3 Sek.</translation>
    </message>
    <message>
        <source>%1 Hour %2 Minutes %3 Seconds Remaining</source>
        <translation>noch %1 Std. %2 Min. %3 Sek.</translation>
    </message>
    <message>
        <source>%1 Hours %2 Minute %3 Seconds Remaining</source>
        <translation>noch %1 Std. %2 Min. %3 Sek.</translation>
    </message>
    <message>
        <source>%1 Hours %2 Minutes %3 Seconds Remaining</source>
        <translation>noch %1 Std. %2 Min. %3 Sek.</translation>
    </message>
    <message>
        <source>%1%    (%2 / %3) - %4</source>
        <translation>%1%    (%2 / %3) - %4</translation>
    </message>
</context>
<context>
    <name>PageKit</name>
    <message>
        <source>%1 columns</source>
        <translation>Spalten von %1</translation>
    </message>
</context>
<context>
    <name>Steps</name>
    <message>
        <source>Image Recovery: Select Card</source>
        <translation>Bildrettung: Karte wählen</translation>
    </message>
    <message>
        <source>Select the card from which you want to recover the images</source>
        <translation>Wählen Sie die Karte, von der Sie die Bilder retten möchten</translation>
    </message>
    <message>
        <source>Image Recovery: File Types</source>
        <translation>Bildrettung: Dateitypen</translation>
    </message>
    <message>
        <source>Select the file types to search for on the card</source>
        <translation>Wählen Sie die Dateitypen, nach denen auf der Karte gesucht wird</translation>
    </message>
    <message>
        <source>Image Recovery: Find Images</source>
        <translation>Bildrettung: Bilder suchen</translation>
    </message>
    <message>
        <source>Pixsalvo will search the card for all recoverable images.</source>
        <translation>Pixsalvo durchsucht die Karte nach allen rettbaren Bildern.</translation>
    </message>
    <message>
        <source>Image Recovery: Preview Images</source>
        <translation>Bildrettung: Vorschau</translation>
    </message>
    <message>
        <source>You can display thumbnails of the images that were found and allow
selection for recovery</source>
        <translation>Sie können Miniaturen der gefundenen Bilder anzeigen und sie
für die Rettung auswählen</translation>
    </message>
    <message>
        <source>Image Recovery: Save Images</source>
        <translation>Bildrettung: Bilder speichern</translation>
    </message>
    <message>
        <source>Select where to save the recovered images and an optional name prefix</source>
        <translation>Wählen Sie, wo die geretteten Bilder gespeichert werden, und optional ein Namenspräfix</translation>
    </message>
    <message>
        <source>Image Recovery: Burn Images (Optional)</source>
        <translation>Bildrettung: Bilder brennen (optional)</translation>
    </message>
    <message>
        <source>Image Recovery: Burn Images</source>
        <translation>Bildrettung: Bilder brennen</translation>
    </message>
    <message>
        <source>This is an optional step to burn the recovered images to a CD</source>
        <translation>Dieser optionale Schritt brennt die geretteten Bilder auf eine CD</translation>
    </message>
    <message>
        <source>Advanced Tools: Support</source>
        <translation>Erweiterte Werkzeuge: Support</translation>
    </message>
    <message>
        <source>Displays card information to aid Tolvex Media technical support staff.</source>
        <translation>Zeigt Karteninformationen für den technischen Support von Tolvex Media.</translation>
    </message>
    <message>
        <source>Advanced Tools: Erase Card</source>
        <translation>Erweiterte Werkzeuge: Karte löschen</translation>
    </message>
    <message>
        <source>Permanently erases the card contents preventing recovery.</source>
        <translation>Löscht den Inhalt der Karte endgültig, sodass nichts mehr gerettet werden kann.</translation>
    </message>
    <message>
        <source>Advanced Tools: Format Card</source>
        <translation>Erweiterte Werkzeuge: Karte formatieren</translation>
    </message>
    <message>
        <source>Formats the card using factory specifications.</source>
        <translation>Formatiert die Karte nach den Vorgaben des Herstellers.</translation>
    </message>
    <message>
        <source>Advanced Tools: Test Card</source>
        <translation>Erweiterte Werkzeuge: Karte prüfen</translation>
    </message>
    <message>
        <source>Test card for hardware defects or errors</source>
        <translation>Die Karte auf Hardwaredefekte oder Fehler prüfen</translation>
    </message>
    <message>
        <source>Image Recovery</source>
        <translation>Bildrettung</translation>
    </message>
    <message>
        <source>Select Card</source>
        <translation>Karte wählen</translation>
    </message>
    <message>
        <source>File Types</source>
        <translation>Dateitypen</translation>
    </message>
    <message>
        <source>Find Images</source>
        <translation>Bilder suchen</translation>
    </message>
    <message>
        <source>Preview Images</source>
        <translation>Vorschau</translation>
    </message>
    <message>
        <source>Save Images</source>
        <translation>Bilder speichern</translation>
    </message>
    <message>
        <source>Burn Images</source>
        <translation>Bilder brennen</translation>
    </message>
    <message>
        <source>Advanced Tools</source>
        <translation>Werkzeuge</translation>
    </message>
    <message>
        <source>View all Tools</source>
        <translation>Alle Werkzeuge</translation>
    </message>
    <message>
        <source>Use Advanced Tools for Test, Format, and Erase Card.
Also Support  tool is available.</source>
        <translation>Erweiterte Werkzeuge zum Prüfen, Formatieren und Löschen der Karte.
Auch das Support-Werkzeug ist verfügbar.</translation>
    </message>
    <message>
        <source>Start Recovery</source>
        <translation>Rettung starten</translation>
    </message>
    <message>
        <source>Image Recovery:
Recover files from cards whose file system is damaged.</source>
        <translation>Bildrettung:
Dateien von Karten retten, deren Dateisystem beschädigt ist.</translation>
    </message>
    <message>
        <source>Test Card</source>
        <translation>Karte prüfen</translation>
    </message>
    <message>
        <source>Format Card</source>
        <translation>Karte formatieren</translation>
    </message>
    <message>
        <source>Erase Card</source>
        <translation>Karte löschen</translation>
    </message>
    <message>
        <source>Support</source>
        <translation>Support</translation>
    </message>
</context>
</TS>
