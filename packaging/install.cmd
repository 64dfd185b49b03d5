@echo off
rem Registers velmora32.dll for the IIS application pools of this machine:
rem x86\velmora32.dll with the 32-bit regsvr32 and, on 64-bit Windows,
rem x64\velmora32.dll with the 64-bit one. "install.cmd /u" unregisters them.
rem Run it from an elevated prompt, from where the DLLs are to stay: the
rem registration names their folder. Exit code 0 when every step worked,
rem 1 otherwise.
setlocal
set "here=%~dp0"
set "action="
set "done=registered"
if /i "%~1"=="/u" (
  set "action= /u"
  set "done=unregistered"
) else if not "%~1"=="" (
  echo usage: install.cmd [/u]
  exit /b 1
)

rem A 32-bit cmd on 64-bit Windows sees the 32-bit System32; Sysnative
rem reaches the 64-bit one.
set "bits=32"
if /i "%PROCESSOR_ARCHITECTURE%"=="AMD64" set "bits=64"
if /i "%PROCESSOR_ARCHITEW6432%"=="AMD64" set "bits=64"
set "regsvr32_x86=%SystemRoot%\System32\regsvr32.exe"
if "%bits%"=="64" set "regsvr32_x86=%SystemRoot%\SysWOW64\regsvr32.exe"
set "regsvr32_x64=%SystemRoot%\System32\regsvr32.exe"
if defined PROCESSOR_ARCHITEW6432 set "regsvr32_x64=%SystemRoot%\Sysnative\regsvr32.exe"

set "failed="
call :register "%regsvr32_x86%" "%here%x86\velmora32.dll"
if "%bits%"=="64" call :register "%regsvr32_x64%" "%here%x64\velmora32.dll"
if defined failed exit /b 1
exit /b 0

:register
rem No ( ) blocks below: a folder such as "Program Files (x86)" in %~2
rem would end them.
if exist "%~2" goto run
echo install.cmd: %~2 is missing
set "failed=1"
goto :eof
:run
"%~1" /s%action% "%~2"
if not errorlevel 1 goto succeeded
echo install.cmd: %~2 could not be %done% (regsvr32%action% failed)
set "failed=1"
goto :eof
:succeeded
echo install.cmd: %~2 %done%
goto :eof
