@echo off
rem Runs ralvex-service-tool.exe once per adapter, side by side, from the current folder: each run
rem with a log, a report and tags of its own. Waits for all of them, then prints one line per unit
rem from the reports.
rem
rem Usage: station.cmd JOB... -- INTERFACE SERIAL [INTERFACE SERIAL]...
rem   station.cmd -f app.hex -- pcan@1 A-1001 pcan@2 A-1002 kvaser@10001 A-1003
rem Each run writes run-<interface>.log, run-<interface>.json (its report) and
rem run-<interface>.txt (its console), the interface's ':' and '@' written as '-'; its report
rem carries the tags serial=<SERIAL>, station=<this computer> and operator=<this user>.
rem RALVEX_TOOL names another executable than the ralvex-service-tool.exe one folder up.
rem Exit status: 0 when every run succeeded, 1 when one did not, 2 for a wrong command line.
rem
rem Substrings and substitutions only in %var% form, and find rather than findstr: cmd
rem implementations differ on the rest. Status files are named by number, so that a run ends in
rem one whatever its interface is called, or the wait below would never end.
if "%~1"==":one" goto one
setlocal
if not defined RALVEX_TOOL set "RALVEX_TOOL=%~dp0..\ralvex-service-tool.exe"
set "RALVEX_SCRIPT=%~f0"
set "RALVEX_JOB="
:job
if "%~1"=="" goto usage
if "%~1"=="--" goto units
set "RALVEX_JOB=%RALVEX_JOB% %1"
shift
goto job
:units
shift
if "%~1"=="" goto usage
set count=0
:unit
rem Every pair is read and checked before the first run starts.
if "%~1"=="" goto launch
if "%~2"=="" goto usage
rem The interface names files: a name no file can have would leave its run without a console file.
for /f "tokens=2 delims=\/*?<>|" %%a in ("x%~1x") do goto bad_interface
set /a count+=1
call :unit_names "%~1" "%~2"
shift
shift
goto unit

:launch
for /l %%i in (1,1,%count%) do call :launch_one %%i
set waiting=1
:wait
rem Run N leaves its exit status in station-N.status when it ends.
if %waiting% gtr %count% goto report
if exist "station-%waiting%.status" (
  set /a waiting+=1
  goto wait
)
ping -n 2 127.0.0.1 > nul
goto wait

:report
set failed=0
echo interface        serial         result message
for /l %%i in (1,1,%count%) do call :report_one %%i
exit /b %failed%

:bad_interface
echo station.cmd: interface name "%~1" cannot name a file 1>&2
exit /b 2

:usage
echo usage: station.cmd JOB... -- INTERFACE SERIAL [INTERFACE SERIAL]... 1>&2
exit /b 2

rem :unit_names INTERFACE SERIAL keeps unit number %count% and the name of its files.
:unit_names
set "interface=%~1"
set "name=run-%interface::=-%"
set "interface_%count%=%interface%"
set "serial_%count%=%~2"
set "name_%count%=%name:@=-%"
exit /b

rem :launch_one N starts run N in the background.
:launch_one
call set "interface=%%interface_%1%%"
call set "serial=%%serial_%1%%"
call set "name=%%name_%1%%"
if exist "station-%1.status" del "station-%1.status"
start "" /b cmd /c call "%RALVEX_SCRIPT%" :one "%interface%" "%serial%" "%name%" %1
exit /b

rem :report_one N prints the line of run N.
:report_one
call set "interface=%%interface_%1%%"
call set "serial=%%serial_%1%%"
call set "name=%%name_%1%%"
set /p status=<"station-%1.status"
del "station-%1.status"
set "result=pass"
set "message="
if "%status%"=="0" goto report_line
set "result=FAIL"
set failed=1
rem The report's message: the console line that said why the run failed, always followed by
rem another member, hence the quote and the comma after it. The result comes after the arguments
rem and the tags, so the last "message" member is the one.
if exist "%name%.json" (
  for /f "tokens=1,* delims=: " %%a in ('find """message"":" ^< "%name%.json"') do set "message=%%b"
)
if not defined message goto report_no_message
set "message=%message:~1,-2%"
goto report_failed
:report_no_message
set "message=no report: see %name%.txt"
:report_failed
set "message=(exit %status%) %message%"
:report_line
set "line=%interface%                "
set "line=%line:~0,17%%serial%               "
set "line=%line:~0,32%%result%       "
set "line=%line:~0,39%%message%"
rem A message may hold & ( ) or >: only delayed expansion echoes it as it is.
setlocal EnableDelayedExpansion
echo !line!
endlocal
exit /b

rem One run, on a console of its own: :one INTERFACE SERIAL NAME N (the job in RALVEX_JOB).
rem The status goes to a part file first, so that the wait never reads a half-written one.
:one
"%RALVEX_TOOL%" -i %2 --log "%~4.log" --report "%~4.json" --tag serial=%3 --tag "station=%COMPUTERNAME%" --tag "operator=%USERNAME%" %RALVEX_JOB% > "%~4.txt" 2>&1
set "status=%errorlevel%"
> "station-%5.part" echo %status%
move /y "station-%5.part" "station-%5.status" > nul
exit /b
