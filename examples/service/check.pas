{ Prints a check and its authentication as one job through tarvikd, then the
  job's state; exits 0 once it printed. TARVIK_URL and TARVIK_TOKEN name the
  service and its token. The key names the document: a retry after a lost
  answer gives the same job and prints nothing more. Build: fpc check.pas }
program Check;

{$mode objfpc}{$H+}

uses
  Classes, SysUtils, fphttpclient, fpjson, jsonparser;

const
  Job = '{"key": "pdv-0001", "commands": [' +
    '{"check": {"text1": "MIL DUZENTOS E TRINTA E QUATRO REAIS", "text2": "E CINQUENTA E SEIS CENTAVOS", ' +
    '"date": "2026-12-08", "amount": 123456, "text5": "FULANO DE TAL", "text6": "SAO PAULO", "bank": "341"}}, ' +
    '{"authenticate": {"text": "AUT 0001 08/12/2026 R$ 1.234,56", "pitch": "1", "double": true, "selector": "Y"}}]}';

var
  Client: TFPHTTPClient;
  Answer: TJSONData;
  Body, State: string;
begin
  Client := TFPHTTPClient.Create(nil);
  Client.AddHeader('Authorization', 'Bearer ' + GetEnvironmentVariable('TARVIK_TOKEN'));
  Client.AddHeader('Content-Type', 'application/json');
  Client.IOTimeout := 90000;
  Client.RequestBody := TStringStream.Create(Job);
  Body := Client.Post(GetEnvironmentVariable('TARVIK_URL') + '/v1/jobs?wait=60');
  if Client.ResponseStatusCode >= 300 then
  begin
    WriteLn(StdErr, Client.ResponseStatusCode, ' ', Body);
    Halt(1);
  end;
  Answer := GetJSON(Body);
  State := Answer.FindPath('state').AsString;
  WriteLn(State);
  Answer.Free;
  Client.RequestBody.Free;
  Client.Free;
  if State <> 'printed' then
    Halt(1);
end.
