<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="en">
<context>
    <name>BrightloomFilter</name>
    <message>
        <source>Brightloom Tone Mapping</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show Original</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Refreshing preview...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Presets and settings files</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Undo</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Redo</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Details Enhancer</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Luminance histogram of the preview</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show or hide the Tone controls</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Tone</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Strength</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Luminosity</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Gamma</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>White Clip</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Black Clip</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Microcontrast</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show or hide the Color controls</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Color</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Color Saturation</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Temperature</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Saturation Highlights</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Saturation Shadows</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show or hide the Smoothing controls</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Smoothing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Smoothing in five levels (Light Mode)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Max</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>High</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Med</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Low</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Min</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Microsmoothing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Highlights Smoothness</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Shadows Smoothness</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Shadows Clipping</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>360° image (left and right edges meet)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Tone Compressor</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Brightness</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Compression</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Contrast</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Saturation</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Help</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>brightloom::dialog::ToneMappingPluginController</name>
    <message>
        <source>Max</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>High</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Med</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Low</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Min</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Increments or decrements the size of the above preview. Note that increasing the preview size increases refreshing times exponentially.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Preview size: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error while generating initial preview - error code: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>OK</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error while generating preview - error code: %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Insufficient memory to generate tone mapping preview.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Calculation Tone Mapping preview failed in calc_tm2.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The preview of %1 x %2 pixels is too small for the Details Enhancer. Choose a larger preview size.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error when generating tone mapping preview.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show Preview</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show Original</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Natural</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Smooth Skies</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Painterly</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Grunge</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Custom</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Default</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Previous</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Load Settings...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save Settings...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete Settings...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Load Tone Mapping Settings from XMP file</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Load</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>XMP file does not contain Tone Mapping settings.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Tone Compressor</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Details Enhancer</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>XMP file is not for settings of %1.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error found when reading XMP file.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save Tone Mapping Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>File name %1 is reserved. Please choose another one.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>it is not a folder</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>the settings could not be written</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not save the settings to %1: %2.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Presets folder does not exist.<byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete Tone Mapping Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Delete</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Are you sure you want to delete %1? <byte value="xd"/>
<byte value="xd"/>
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Could not delete %1</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
