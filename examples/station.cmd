@echo off
rem Runs ralvex-service-tool.exe once per adapter, side by side, from the current folder: each run
rem with a log, a report and tags of its own. Waits for all of them, then prints one line per unit
rem from the reports.
rem
rem Usage: station.cmd "JOB" INTERFACE SERIAL [INTERFACE SERIAL]...
rem   station.cmd "-f app.hex" pcan:1 A-1001 pcan:2 A-1002 kvaser@10001 A-1003
rem Each run writes run-<interface>.log, run-<interface>.json (its report) and
rem run-<interface>.txt (its console), the interface's ':' and '@' written as '-'; its report
rem carries the tags serial=<SERIAL>, station=<this computer> and operator=<this user>.
rem RALVEX_TOOL names another executable than the ralvex-service-tool.exe one folder up.
rem Exit status: 0 when every run succeeded, 1 when one did not, 2 for a wrong command line.
if "%~1"==":one" goto one
setlocal EnableDelayedExpansion
if not defined RALVEX_TOOL set "RALVEX_TOOL=%~dp0..\ralvex-service-tool.exe"
set "RALVEX_JOB=%~1"
shift
if "%~1"=="" goto usage
set count=0
:launch
if "%~1"=="" goto wait
if "%~2"=="" goto usage
set /a count+=1
set "interface=%~1"
set "name=run-!interface::=-!"
set "name=!name:@=-!"
set "interface_!count!=!interface!"
set "serial_!count!=%~2"
set "name_!count!=!name!"
if exist "!name!.status" del "!name!.status"
start "" /b cmd /c call "%~f0" :one "!interface!" "%~2" "!name!"
shift
shift
goto launch

:wait
rem Every run leaves its exit status in <name>.status when it ends.
for /l %%i in (1,1,%count%) do (
  if not exist "!name_%%i!.status" (
    ping -n 2 127.0.0.1 > nul
    goto wait
  )
)
set failed=0
echo interface        serial         result message
for /l %%i in (1,1,%count%) do (
  set /p status=<"!name_%%i!.status"
  set "message="
  for /f "tokens=1,* delims=:" %%a in ('findstr /c:"\"message\": \"" "!name_%%i!.json" 2^>nul') do (
    set "message=%%b"
  )
  if defined message (
    set "message=!message:~2,-2!"
  )
  set "result=pass"
  if not "!status!"=="0" (
    set "result=FAIL"
    set failed=1
    if not defined message set "message=no report: see !name_%%i!.txt"
    set "message=(exit !status!) !message!"
  )
  set "line=!interface_%%i!                "
  set "line=!line:~0,17!!serial_%%i!               "
  set "line=!line:~0,32!!result!       "
  echo !line:~0,39!!message!
)
exit /b %failed%

:usage
echo usage: station.cmd "JOB" INTERFACE SERIAL [INTERFACE SERIAL]... 1>&2
exit /b 2

rem One run, on a console of its own: :one INTERFACE SERIAL NAME (the job in RALVEX_JOB).
:one
"%RALVEX_TOOL%" -i %~2 --log %~4.log --report %~4.json --tag serial=%~3 --tag station=%COMPUTERNAME% --tag operator=%USERNAME% %RALVEX_JOB% > %~4.txt 2>&1
echo %errorlevel%> %~4.status
exit /b
