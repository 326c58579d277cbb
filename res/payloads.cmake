# The files the installer carries, in the order of its component table, each
# as <baseName><extension>. The build lays every one into the executable twice:
# "32_<BASENAME>" from 32/ and "64_<BASENAME>" from 64/ of the payload folder.

# The COM servers, registered with regsvr32 after they are written.
set(ORBEL_REGISTERED_FILES
    CorvoX.dll
    CorvoDataSetX.dll
    msxml6.dll
    CorvoGovX.ocx
    midas.dll
    stdvcl40.dll
)
# All eleven: the servers, then the libraries that are only written.
set(ORBEL_PAYLOAD_FILES
    ${ORBEL_REGISTERED_FILES}
    ssleay32.dll
    libeay32.dll
    msxml6r.dll
    kwtCorvoLibUNICODE.dll
    kwtCorvoLib.dll
)
