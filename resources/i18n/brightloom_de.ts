<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de" sourcelanguage="en">
<context>
    <name>BrightloomFilter</name>
    <message>
        <source>Brightloom Tone Mapping</source>
        <translation>Brightloom Tone-Mapping</translation>
    </message>
    <message>
        <source>Show Original</source>
        <translation>Original zeigen</translation>
    </message>
    <message>
        <source>Refreshing preview...</source>
        <translation>Vorschau wird aktualisiert...</translation>
    </message>
    <message>
        <source>Presets and settings files</source>
        <translation>Vorgaben und Einstellungsdateien</translation>
    </message>
    <message>
        <source>Undo</source>
        <translation>Rückgängig</translation>
    </message>
    <message>
        <source>Redo</source>
        <translation>Wiederholen</translation>
    </message>
    <message>
        <source>Details Enhancer</source>
        <translation>Detailverstärkung</translation>
    </message>
    <message>
        <source>Luminance histogram of the preview</source>
        <translation>Luminanz-Histogramm der Vorschau</translation>
    </message>
    <message>
        <source>Show or hide the Tone controls</source>
        <translation>Tonwert-Regler ein- oder ausblenden</translation>
    </message>
    <message>
        <source>Tone</source>
        <translation>Tonwert</translation>
    </message>
    <message>
        <source>Strength</source>
        <translation>Stärke</translation>
    </message>
    <message>
        <source>Luminosity</source>
        <translation>Luminosität</translation>
    </message>
    <message>
        <source>Gamma</source>
        <translation>Gamma</translation>
    </message>
    <message>
        <source>White Clip</source>
        <translation>Weiß-Beschnitt</translation>
    </message>
    <message>
        <source>Black Clip</source>
        <translation>Schwarz-Beschnitt</translation>
    </message>
    <message>
        <source>Microcontrast</source>
        <translation>Mikrokontrast</translation>
    </message>
    <message>
        <source>Show or hide the Color controls</source>
        <translation>Farb-Regler ein- oder ausblenden</translation>
    </message>
    <message>
        <source>Color</source>
        <translation>Farbe</translation>
    </message>
    <message>
        <source>Color Saturation</source>
        <translation>Farbsättigung</translation>
    </message>
    <message>
        <source>Temperature</source>
        <translation>Temperatur</translation>
    </message>
    <message>
        <source>Saturation Highlights</source>
        <translation>Sättigung Lichter</translation>
    </message>
    <message>
        <source>Saturation Shadows</source>
        <translation>Sättigung Tiefen</translation>
    </message>
    <message>
        <source>Show or hide the Smoothing controls</source>
        <translation>Glättungs-Regler ein- oder ausblenden</translation>
    </message>
    <message>
        <source>Smoothing</source>
        <translation>Glättung</translation>
    </message>
    <message>
        <source>Smoothing in five levels (Light Mode)</source>
        <translation>Glättung in fünf Stufen (einfacher Modus)</translation>
    </message>
    <message>
        <source>Max</source>
        <translation>Max</translation>
    </message>
    <message>
        <source>High</source>
        <translation>Hoch</translation>
    </message>
    <message>
        <source>Med</source>
        <translation>Mittel</translation>
    </message>
    <message>
        <source>Low</source>
        <translation>Niedrig</translation>
    </message>
    <message>
        <source>Min</source>
        <translation>Min</translation>
    </message>
    <message>
        <source>Microsmoothing</source>
        <translation>Mikroglättung</translation>
    </message>
    <message>
        <source>Highlights Smoothness</source>
        <translation>Glättung Lichter</translation>
    </message>
    <message>
        <source>Shadows Smoothness</source>
        <translation>Glättung Tiefen</translation>
    </message>
    <message>
        <source>Shadows Clipping</source>
        <translation>Beschnitt Tiefen</translation>
    </message>
    <message>
        <source>360° image (left and right edges meet)</source>
        <translation>360°-Bild (linker und rechter Rand treffen sich)</translation>
    </message>
    <message>
        <source>Tone Compressor</source>
        <translation>Tonwertkompression</translation>
    </message>
    <message>
        <source>Brightness</source>
        <translation>Helligkeit</translation>
    </message>
    <message>
        <source>Compression</source>
        <translation>Kompression</translation>
    </message>
    <message>
        <source>Contrast</source>
        <translation>Kontrast</translation>
    </message>
    <message>
        <source>Saturation</source>
        <translation>Sättigung</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Hilfe</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>brightloom::dialog::ToneMappingPluginController</name>
    <message>
        <source>Max</source>
        <translation>Max</translation>
    </message>
    <message>
        <source>High</source>
        <translation>Hoch</translation>
    </message>
    <message>
        <source>Med</source>
        <translation>Mittel</translation>
    </message>
    <message>
        <source>Low</source>
        <translation>Niedrig</translation>
    </message>
    <message>
        <source>Min</source>
        <translation>Min</translation>
    </message>
    <message>
        <source>Increments or decrements the size of the above preview. Note that increasing the preview size increases refreshing times exponentially.</source>
        <translation>Vergrößert oder verkleinert die Vorschau darüber. Beachten Sie, dass eine größere Vorschau die Aktualisierung exponentiell verlangsamt.</translation>
    </message>
    <message>
        <source>Preview size: %1</source>
        <translation>Vorschaugröße: %1</translation>
    </message>
    <message>
        <source>Error while generating initial preview - error code: %1</source>
        <translation>Fehler beim Erzeugen der ersten Vorschau - Fehlercode: %1</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>Error while generating preview - error code: %1</source>
        <translation>Fehler beim Erzeugen der Vorschau - Fehlercode: %1</translation>
    </message>
    <message>
        <source>Insufficient memory to generate tone mapping preview.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Nicht genügend Arbeitsspeicher für die Tone-Mapping-Vorschau.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>Calculation Tone Mapping preview failed in calc_tm2.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Die Berechnung der Tone-Mapping-Vorschau ist in calc_tm2 fehlgeschlagen.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>The preview of %1 x %2 pixels is too small for the Details Enhancer. Choose a larger preview size.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Die Vorschau von %1 x %2 Pixeln ist für die Detailverstärkung zu klein. Wählen Sie eine größere Vorschaugröße.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>Error when generating tone mapping preview.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Fehler beim Erzeugen der Tone-Mapping-Vorschau.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>Show Preview</source>
        <translation>Vorschau zeigen</translation>
    </message>
    <message>
        <source>Show Original</source>
        <translation>Original zeigen</translation>
    </message>
    <message>
        <source>Natural</source>
        <translation>Natürlich</translation>
    </message>
    <message>
        <source>Smooth Skies</source>
        <translation>Glatter Himmel</translation>
    </message>
    <message>
        <source>Painterly</source>
        <translation>Malerisch</translation>
    </message>
    <message>
        <source>Grunge</source>
        <translation>Grunge</translation>
    </message>
    <message>
        <source>Custom</source>
        <translation>Benutzerdefiniert</translation>
    </message>
    <message>
        <source>Default</source>
        <translation>Standard</translation>
    </message>
    <message>
        <source>Previous</source>
        <translation>Vorherige</translation>
    </message>
    <message>
        <source>Load Settings...</source>
        <translation>Einstellungen laden...</translation>
    </message>
    <message>
        <source>Save Settings...</source>
        <translation>Einstellungen speichern...</translation>
    </message>
    <message>
        <source>Delete Settings...</source>
        <translation>Einstellungen löschen...</translation>
    </message>
    <message>
        <source>Load Tone Mapping Settings from XMP file</source>
        <translation>Tone-Mapping-Einstellungen aus XMP-Datei laden</translation>
    </message>
    <message>
        <source>Load</source>
        <translation>Laden</translation>
    </message>
    <message>
        <source>XMP file does not contain Tone Mapping settings.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Die XMP-Datei enthält keine Tone-Mapping-Einstellungen.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>Tone Compressor</source>
        <translation>Tonwertkompression</translation>
    </message>
    <message>
        <source>Details Enhancer</source>
        <translation>Detailverstärkung</translation>
    </message>
    <message>
        <source>XMP file is not for settings of %1.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Die XMP-Datei enthält keine Einstellungen für %1.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>Error found when reading XMP file.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Beim Lesen der XMP-Datei ist ein Fehler aufgetreten.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>Save Tone Mapping Settings</source>
        <translation>Tone-Mapping-Einstellungen speichern</translation>
    </message>
    <message>
        <source>File name %1 is reserved. Please choose another one.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Der Dateiname %1 ist reserviert. Bitte wählen Sie einen anderen.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>it is not a folder</source>
        <translation>es ist kein Ordner</translation>
    </message>
    <message>
        <source>the settings could not be written</source>
        <translation>die Einstellungen konnten nicht geschrieben werden</translation>
    </message>
    <message>
        <source>Could not save the settings to %1: %2.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Die Einstellungen konnten nicht in %1 gespeichert werden: %2.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>Presets folder does not exist.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Der Ordner der Vorgaben existiert nicht.<byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>Delete Tone Mapping Settings</source>
        <translation>Tone-Mapping-Einstellungen löschen</translation>
    </message>
    <message>
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message>
        <source>Are you sure you want to delete %1? <byte value="xd"/>
<byte value="xd"/>
</source>
        <translation>Möchten Sie %1 wirklich löschen? <byte value="xd"/>
<byte value="xd"/>
</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>Could not delete %1</source>
        <translation>%1 konnte nicht gelöscht werden</translation>
    </message>
</context>
</TS>
